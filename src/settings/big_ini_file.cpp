#include "settings/big_ini_file.h"

#include "buffer/file_io.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const char *const NotRegular = "not a regular file";

// A failed step of reading or writing the file, carrying the reason shown to the user.
struct TIoFailure {
    std::string Reason;
};

[[noreturn]] void Fail(int err) { throw TIoFailure{std::strerror(err)}; }

bool SameText(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool IsHeader(const std::string &line)
{
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

// What in `text` would break the line it is written into, or null.
const char *LineBreaker(const std::string &text)
{
    if (text.find_first_of("\r\n") != std::string::npos)
        return "a line break";
    return text.find('\0') != std::string::npos ? "a NUL character" : nullptr;
}

// Why the line Ident=Value of Section cannot be stored as one line; empty when it can.
std::string WhyNotOneLine(const std::string &Section, const std::string &Ident, const std::string &Value)
{
    if (const char *breaker = LineBreaker(Value))
        return std::string("its value holds ") + breaker;
    if (const char *breaker = LineBreaker(Ident))
        return std::string("its name holds ") + breaker;
    if (const char *breaker = LineBreaker(Section))
        return std::string("the name of its section ") + Section + " holds " + breaker;
    if (IsHeader(Ident + "=" + Value))
        return "the line would read as a section header";
    return {};
}

// Split at CR, LF and CR LF, each line with its own line end (none for a last line without one).
// NUL and every other byte stay in their line.
std::vector<std::pair<std::string, std::string>> SplitLines(const std::string &text)
{
    std::vector<std::pair<std::string, std::string>> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t stop = std::min(text.find_first_of("\r\n", start), text.size());
        std::size_t next = std::min(stop + 1, text.size());
        if (stop + 1 < text.size() && text[stop] == '\r' && text[stop + 1] == '\n')
            ++next;
        lines.emplace_back(text.substr(start, stop - start), text.substr(stop, next - stop));
        start = next;
    }
    return lines;
}

// Empty lines and the old end-of-file mark hold nothing a reader looks at.
bool IsBlank(const std::string &line)
{
    return line.empty() || line == "\x1A";
}

const char *const NewLineEnd = "\r\n";

class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd &) = delete;
    TFd &operator=(const TFd &) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

// The whole file, or false when it does not exist.
bool ReadFileText(const std::string &path, std::string &text)
{
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0 && errno == ENOENT)
        return false;
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0)
        Fail(errno);
    if (!S_ISREG(st.st_mode))
        throw TIoFailure{NotRegular};
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail(errno);
        if (n == 0)
            return true;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

bool ReadWholeFile(const std::string &path, std::string &text)
{
    try {
        return ReadFileText(path, text);
    } catch (const TIoFailure &failure) {
        throw EIniReadError(path, failure.Reason);
    }
}

void WriteWholeFile(const std::string &path, const std::string &text)
{
    if (const std::string reason = ReplaceFileContents(path, text); !reason.empty())
        throw EIniWriteError(path, reason);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(const std::string &digits, std::int32_t &value)
{
    if (digits.empty() || digits.size() > 8)
        return false;
    std::uint32_t pattern = 0;
    for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0)
            return false;
        pattern = pattern << 4 | static_cast<std::uint32_t>(d);
    }
    value = static_cast<std::int32_t>(pattern);
    return true;
}

bool ParseDecimal(const std::string &text, std::int32_t &value)
{
    std::size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    const bool negative = text[0] == '-';
    if (i == text.size())
        return false;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i]))
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > std::int64_t{1} << 31)
            return false;
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX)
        return false;
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

// Length of the digit run starting at i.
std::size_t Digits(const std::string &text, std::size_t i)
{
    std::size_t n = 0;
    while (i + n < text.size() && IsDigit(text[i + n]))
        ++n;
    return n;
}

// Checks sign, digits, optional "." with digits, optional exponent; the number itself is left to
// from_chars, which never looks at the locale. "1." and ".5" are not numbers in this file.
bool IsFloatSyntax(const std::string &text)
{
    std::size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    const std::size_t whole = Digits(text, i);
    if (whole == 0)
        return false;
    i += whole;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction = Digits(text, i + 1);
        if (fraction == 0)
            return false;
        i += 1 + fraction;
    }
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        const std::size_t exponent = Digits(text, i);
        if (exponent == 0)
            return false;
        i += exponent;
    }
    return i == text.size();
}

std::string StripLeadingBlanks(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

} // namespace

EIniFileError::EIniFileError(const std::string &message, const std::string &path)
    : std::runtime_error(message), FPath(path)
{
}

EIniReadError::EIniReadError(const std::string &path, const std::string &reason)
    : EIniFileError("Cannot read the settings file " + path + ": " + reason, path)
{
}

EIniWriteError::EIniWriteError(const std::string &path, const std::string &reason)
    : EIniFileError("Cannot write the settings file " + path + ": " + reason, path)
{
}

EIniValueError::EIniValueError(const std::string &path, const std::string &ident, const std::string &reason)
    : EIniFileError("Cannot keep the setting " + ident + (path.empty() ? "" : " in the settings file " + path) +
                        ": " + reason,
                    path)
{
}

TBigIniFile::TBigIniFile(const std::string &FileName) { OpenFile(FileName); }

TBigIniFile::~TBigIniFile()
{
    try {
        UpdateFile();
    } catch (const EIniFileError &) {
        // A destructor must not throw; owners that care call UpdateFile themselves.
    }
}

void TBigIniFile::OpenFile(const std::string &FileName)
{
    UpdateFile();
    std::string text;
    const bool exists = !FileName.empty() && ReadWholeFile(FileName, text);
    FSections = exists ? ParseText(text) : std::vector<TSection>{};
    FFileName = FileName;
    FModified = false;
}

// Lines before the first header are kept in a section without a header of its own.
std::vector<TBigIniFile::TSection> TBigIniFile::ParseText(const std::string &Text)
{
    std::vector<TSection> sections(1);
    for (auto &[text, end] : SplitLines(Text)) {
        if (IsHeader(text))
            sections.push_back({text.substr(1, text.size() - 2), {std::move(text), std::move(end)}, {}});
        else
            sections.back().Lines.push_back({std::move(text), std::move(end)});
    }
    return sections;
}

const TBigIniFile::TSection *TBigIniFile::FindSection(const std::string &Section) const
{
    for (const TSection &section : FSections)
        if (!section.Header.Text.empty() && SameText(section.Name, Section))
            return &section;
    return nullptr;
}

TBigIniFile::TSection *TBigIniFile::FindSection(const std::string &Section)
{
    return const_cast<TSection *>(std::as_const(*this).FindSection(Section));
}

const std::string *TBigIniFile::FindLine(const std::string &Section, const std::string &Ident) const
{
    const TSection *section = FindSection(Section);
    if (!section)
        return nullptr;
    for (const TLine &line : section->Lines) {
        const std::size_t eq = line.Text.find('=');
        if (eq != std::string::npos && SameText(line.Text.substr(0, eq), Ident))
            return &line.Text;
    }
    return nullptr;
}

std::string TBigIniFile::ReadString(const std::string &Section, const std::string &Ident,
                                    const std::string &Default) const
{
    const std::string *line = FindLine(Section, Ident);
    return line ? line->substr(line->find('=') + 1) : Default;
}

void TBigIniFile::WriteString(const std::string &Section, const std::string &Ident,
                              const std::string &Value)
{
    if (!Ident.empty())
        SetKey(Section, Ident, Value);
    else if (Section.empty() && Value.empty())
        UpdateFile();
    else
        EraseSection(Section);
}

// Text that would break the line structure is refused: written as is, it would come back as
// other keys or sections. A new key comes after the last line of its section that is not blank, so
// that the blank line ending the section stays where it is; a new section ends with one.
void TBigIniFile::SetKey(const std::string &Section, const std::string &Ident,
                         const std::string &Value)
{
    if (const std::string reason = WhyNotOneLine(Section, Ident, Value); !reason.empty())
        throw EIniValueError(FFileName, Ident, reason);
    const std::string newLine = Ident + "=" + Value;
    TSection *section = FindSection(Section);
    if (!section)
        section = &FSections.emplace_back(TSection{Section, {"[" + Section + "]", NewLineEnd}, {{"", NewLineEnd}}});
    if (section->Erased) {
        section->Erased = false;
        FModified = true;
    }
    for (TLine &line : section->Lines) {
        const std::size_t eq = line.Text.find('=');
        if (eq != std::string::npos && SameText(line.Text.substr(0, eq), Ident)) {
            FModified = FModified || line.Text != newLine;
            line.Text = newLine;
            return;
        }
    }
    auto after = section->Lines.end();
    while (after != section->Lines.begin() && IsBlank(std::prev(after)->Text))
        --after;
    section->Lines.insert(after, {newLine, NewLineEnd});
    FModified = true;
}

char TBigIniFile::ReadChar(const std::string &Section, const std::string &Ident,
                           char Default) const
{
    const std::string value = ReadString(Section, Ident, "");
    return value.empty() ? Default : value[0];
}

void TBigIniFile::WriteChar(const std::string &Section, const std::string &Ident, char Value)
{
    WriteString(Section, Ident, std::string(1, Value));
}

bool TBigIniFile::ParseInteger(std::string Text, std::int32_t &Value)
{
    if (Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X'))
        Text.replace(0, 2, "$");
    Text = StripLeadingBlanks(Text);
    if (Text.empty())
        return false;
    if (Text[0] == '$' || Text[0] == 'x' || Text[0] == 'X')
        return ParseHex(Text.substr(1), Value);
    if (Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X'))
        return ParseHex(Text.substr(2), Value);
    return ParseDecimal(Text, Value);
}

std::int32_t TBigIniFile::ReadInteger(const std::string &Section, const std::string &Ident,
                                      std::int32_t Default) const
{
    std::int32_t value = 0;
    return ParseInteger(ReadString(Section, Ident, ""), value) ? value : Default;
}

void TBigIniFile::WriteInteger(const std::string &Section, const std::string &Ident,
                               std::int32_t Value)
{
    WriteString(Section, Ident, std::to_string(Value));
}

bool TBigIniFile::ParseFloat(const std::string &Text, double &Value)
{
    std::string text = StripLeadingBlanks(Text);
    if (text.empty() || !IsFloatSyntax(text))
        return false;
    if (text[0] == '+')
        text.erase(0, 1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    Value = value;
    return true;
}

double TBigIniFile::ReadFloat(const std::string &Section, const std::string &Ident,
                              double Default) const
{
    double value = 0;
    return ParseFloat(ReadString(Section, Ident, ""), value) ? value : Default;
}

std::string TBigIniFile::FormatFloat(double Value)
{
    if (std::isnan(Value))
        return "NAN";
    if (std::isinf(Value))
        return Value < 0 ? "-INF" : "INF";
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, std::fabs(Value),
                                      std::chars_format::scientific, 14);
    const std::string text(digits, result.ptr);
    const std::size_t e = text.find('e');
    std::string exponent = text.substr(e + 2);
    exponent.insert(0, 4 - exponent.size(), '0');
    return std::string(Value < 0 ? "-" : " ") + text.substr(0, e) + "E" + text[e + 1] + exponent;
}

void TBigIniFile::WriteFloat(const std::string &Section, const std::string &Ident, double Value)
{
    WriteString(Section, Ident, FormatFloat(Value));
}

bool TBigIniFile::ReadBool(const std::string &Section, const std::string &Ident,
                           bool Default) const
{
    const std::string value = ReadString(Section, Ident, "");
    if (value == "True")
        return true;
    if (value == "False")
        return false;
    return Default;
}

void TBigIniFile::WriteBool(const std::string &Section, const std::string &Ident, bool Value)
{
    WriteString(Section, Ident, Value ? "True" : "False");
}

void TBigIniFile::ReadSection(const std::string &Section, std::vector<std::string> &List) const
{
    if (const TSection *section = FindSection(Section))
        for (const TLine &line : section->Lines) {
            if (IsBlank(line.Text))
                continue;
            const std::size_t eq = line.Text.find('=');
            List.push_back(eq == std::string::npos ? std::string() : line.Text.substr(0, eq));
        }
}

void TBigIniFile::ReadSectionValues(const std::string &Section,
                                    std::vector<std::string> &List) const
{
    if (const TSection *section = FindSection(Section))
        for (const TLine &line : section->Lines)
            if (!IsBlank(line.Text))
                List.push_back(line.Text);
}

void TBigIniFile::EraseSection(const std::string &Section)
{
    if (TSection *section = FindSection(Section)) {
        section->Lines.clear();
        section->Erased = true;
        FModified = true;
    }
}

std::vector<const TBigIniFile::TLine *> TBigIniFile::WrittenLines() const
{
    std::vector<const TLine *> lines;
    for (const TSection &section : FSections) {
        if (section.Erased)
            continue;
        if (!section.Header.Text.empty())
            lines.push_back(&section.Header);
        for (const TLine &line : section.Lines)
            lines.push_back(&line);
    }
    return lines;
}

void TBigIniFile::GetStrings(std::vector<std::string> &List) const
{
    for (const TLine *line : WrittenLines())
        List.push_back(line->Text);
}

// A last line without a line end gets one only when something now follows it.
void TBigIniFile::UpdateFile()
{
    if (FModified && !FFileName.empty()) {
        const std::vector<const TLine *> lines = WrittenLines();
        std::string text;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool last = i + 1 == lines.size();
            text += lines[i]->Text + (lines[i]->End.empty() && !last ? std::string(NewLineEnd) : lines[i]->End);
        }
        WriteWholeFile(FFileName, text);
    }
    FModified = false;
}
