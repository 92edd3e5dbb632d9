#include "sim/s51_console.h"

#include <cerrno>
#include <charconv>
#include <sstream>

#include <unistd.h>

namespace {

std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

template <typename T> std::optional<T> Number(std::string_view text, int base = 10)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string_view Trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// One dump line: its address, then its bytes as two-digit hex words; the characters shown after
// them are not read.
void ReadDumpLine(std::string_view line, std::vector<std::uint8_t> &memory, std::vector<bool> &seen, int perLine)
{
    std::istringstream words{std::string(line)};
    std::string word;
    if (!(words >> word) || word.rfind("0x", 0) != 0)
        return;
    const std::optional<std::size_t> address = Number<std::size_t>(std::string_view(word).substr(2), 16);
    if (!address)
        return;
    for (std::size_t at = *address; at < *address + static_cast<std::size_t>(perLine) && at < memory.size(); ++at) {
        const std::optional<unsigned> value =
            (words >> word && word.size() == 2) ? Number<unsigned>(word, 16) : std::nullopt;
        if (!value)
            return;
        memory[at] = static_cast<std::uint8_t>(*value);
        seen[at] = true;
    }
}

} // namespace

TS51Console::TS51Console(int toS51, int fromS51) : To(toS51), From(fromS51) {}

TS51Console::~TS51Console()
{
    ::close(To);
    ::close(From);
}

bool TS51Console::Send(const std::string &commands, TS51Line kind, long instructions)
{
    const std::string text = "expr /c " + std::to_string(static_cast<int>(NextTag)) + ";" + commands + "\n";
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(To, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    Sent.push_back({NextTag, kind, instructions});
    NextTag = NextTag == 'Z' ? 'a' : NextTag == 'z' ? 'A' : static_cast<char>(NextTag + 1);
    return true;
}

bool TS51Console::Receive()
{
    char bytes[4096];
    for (;;) {
        const ssize_t n = ::read(From, bytes, sizeof bytes);
        if (n > 0) {
            Pending.append(bytes, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

std::optional<TS51Answer> TS51Console::TakeAnswer()
{
    const std::size_t end = Pending.find('\0');
    if (end == std::string::npos)
        return std::nullopt;
    TS51Answer answer{std::nullopt, Pending.substr(0, end), {}};
    Pending.erase(0, end + 1);
    if (const auto tagged = TaggedOutput(answer.Text)) {
        answer.Line = Match(tagged->first);
        answer.Output = std::string(tagged->second);
    }
    return answer;
}

std::optional<TS51Sent> TS51Console::Match(char tag)
{
    for (auto line = Sent.begin(); line != Sent.end(); ++line) {
        if (line->Tag != tag)
            continue;
        const TS51Sent matched = *line;
        Sent.erase(Sent.begin(), line + 1);
        return matched;
    }
    return std::nullopt;
}

std::optional<std::pair<char, std::string_view>> TaggedOutput(std::string_view answer)
{
    for (std::size_t quote = answer.find('\''); quote != std::string_view::npos; quote = answer.find('\'', quote + 1)) {
        if (answer.substr(quote + 2, 2) == "'\n")
            return std::pair{answer[quote + 1], answer.substr(quote + 4)};
    }
    return std::nullopt;
}

// s51 prints the line in one piece, but an echo run may stand in front of it.
std::optional<std::uint64_t> SteppedTicks(std::string_view answer)
{
    constexpr std::string_view Lead = "Simulated ";
    const std::size_t at = answer.find(Lead);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = answer.substr(at + Lead.size());
    return Number<std::uint64_t>(rest.substr(0, rest.find(' ')));
}

std::vector<long> AnswerNumbers(std::string_view output)
{
    std::vector<long> numbers;
    for (std::string_view line : Lines(output))
        if (const std::optional<long> value = Number<long>(Trimmed(line)))
            numbers.push_back(*value);
    return numbers;
}

bool ReadDump(std::string_view output, std::vector<std::uint8_t> &memory, int perLine)
{
    std::vector<bool> seen(memory.size());
    for (std::string_view line : Lines(output))
        ReadDumpLine(line, memory, seen, perLine);
    for (bool byte : seen)
        if (!byte)
            return false;
    return true;
}
