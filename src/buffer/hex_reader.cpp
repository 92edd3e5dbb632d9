#include "buffer/hex_reader.h"

#include <algorithm>
#include <cstring>

#include "buffer/hex_line.h"

namespace {

// The longest record line: 9 header characters, 255 data bytes, the checksum and a CR. A longer line
// is no record, and the reader uses none of its characters beyond here, so it is kept only up to here.
constexpr std::size_t UsedLineLength = 9 + 2 * 255 + 2 + 1;

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// The highest record type the format has: 05, the start linear address.
constexpr unsigned LastRecordType = 5;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Strips the blanks before a line's start code; true when there were any.
bool StripIndent(std::string_view &line)
{
    const std::size_t blanks = std::find_if_not(line.begin(), line.end(), IsBlank) - line.begin();
    line.remove_prefix(blanks);
    return blanks > 0;
}

} // namespace

THexReader::THexReader(TMemoryBuffer &memory, int device, TDamaged damaged)
    : Memory(memory), Device(device), Damaged(damaged)
{
    Pending.reserve(UsedLineLength);
}

// The first bytes are held until they show whether they are a byte-order mark.
void THexReader::Feed(std::string_view chunk)
{
    if (Started) {
        FeedText(chunk);
        return;
    }
    Start.append(chunk);
    if (Start.size() < ByteOrderMark.size() && ByteOrderMark.starts_with(Start))
        return;
    Started = true;
    std::string_view text = Start;
    if (text.starts_with(ByteOrderMark)) {
        text.remove_prefix(ByteOrderMark.size());
        Found.ByteOrderMark = true;
    }
    FeedText(text);
    Start.clear();
}

void THexReader::Finish()
{
    if (!Started) {
        Started = true;
        FeedText(Start);
    }
    if (HeldCr) {
        HeldCr = false;
        Ends = TLineEnds::Cr;
        Found.CrLineEnds = true;
        FeedLines("\n");
    }
    if (!SawCtrlZ && (PendingLength > 0 || Indented))
        Parse(Pending, PendingLength == Pending.size());
}

void THexReader::FeedText(std::string_view text)
{
    if (Ends == TLineEnds::Undecided)
        DecideLineEnds(text);
    if (Ends == TLineEnds::Cr) {
        std::string lines(text);
        std::replace(lines.begin(), lines.end(), '\r', '\n');
        FeedLines(lines);
        return;
    }
    if (HeldCr && !text.empty()) {
        HeldCr = false;
        FeedLines("\r");
    }
    if (!text.empty() && text.back() == '\r' && Ends == TLineEnds::Undecided) {
        text.remove_suffix(1);
        HeldCr = true;
    }
    FeedLines(text);
}

// The first line end decides: LF (with or without a CR before it), or a CR alone, which makes every
// CR a line end. A CR that ends the text seen so far decides with the character after it.
void THexReader::DecideLineEnds(std::string_view text)
{
    if (HeldCr && !text.empty()) {
        Ends = text.front() == '\n' ? TLineEnds::Lf : TLineEnds::Cr;
    } else {
        const std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos || (text[end] == '\r' && end + 1 == text.size()))
            return;
        Ends = text[end] == '\r' && text[end + 1] != '\n' ? TLineEnds::Cr : TLineEnds::Lf;
    }
    if (Ends != TLineEnds::Cr)
        return;
    Found.CrLineEnds = true;
    if (HeldCr) {
        HeldCr = false;
        FeedLines("\n");
    }
}

void THexReader::FeedLines(std::string_view chunk)
{
    while (!SawCtrlZ && !chunk.empty()) {
        const char *base = chunk.data();
        const auto *lineFeed = static_cast<const char *>(std::memchr(base, '\n', chunk.size()));
        std::size_t end = lineFeed ? static_cast<std::size_t>(lineFeed - base) : chunk.size();
        if (const auto *ctrlZ = static_cast<const char *>(std::memchr(base, '\x1A', end))) {
            end = static_cast<std::size_t>(ctrlZ - base);
            SawCtrlZ = true;
        } else if (!lineFeed) {
            Keep(chunk);
            return;
        }
        if (PendingLength == 0) {
            Parse(chunk.substr(0, end), true);
        } else {
            Keep(chunk.substr(0, end));
            Parse(Pending, PendingLength == Pending.size());
        }
        chunk.remove_prefix(std::min(end + 1, chunk.size()));
    }
}

// A line that was cut to UsedLineLength keeps its last kept character even when that is a CR: the
// line end lies beyond what a record can read. A damaged line is judged before it is read, so that
// a reading that skips damage never stores from it.
void THexReader::Parse(std::string_view line, bool complete)
{
    if (complete && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const bool indented = StripIndent(line) || Indented;
    const THexDamage damage = Judge(line, complete);
    if (indented && !line.empty())
        ++Found.IndentedLines;
    if (damage == THexDamage::None || Damaged == TDamaged::Read) {
        const THexLineResult result = ParseHexLine(Memory, Device, line, Base);
        if (result.Stored + result.Dropped > 0)
            ++Found.DataRecords;
        Found.BytesStored += result.Stored;
        Found.BytesDropped += result.Dropped;
    }
    Pending.clear();
    PendingLength = 0;
    Indented = false;
}

THexDamage THexReader::Judge(std::string_view line, bool complete)
{
    ++LineNumber;
    unsigned type = 0;
    const THexLineCheck check = complete ? CheckHexLine(line, type) : THexLineCheck::Malformed;
    THexDamage damage = THexDamage::None;
    if (check == THexLineCheck::Blank)
        return damage;
    if (check == THexLineCheck::Malformed)
        damage = THexDamage::NotARecord;
    else if (Found.EndRecord)
        damage = THexDamage::AfterEnd;
    else if (check == THexLineCheck::WrongChecksum)
        damage = THexDamage::WrongChecksum;
    else if (type > LastRecordType)
        damage = THexDamage::UnknownType;
    Found.EndRecord = Found.EndRecord || (check != THexLineCheck::Malformed && type == 1);
    if (damage != THexDamage::None && Found.DamagedLines++ == 0) {
        Found.FirstDamagedLine = LineNumber;
        Found.FirstDamage = damage;
    }
    return damage;
}

// Blanks before the start code are dropped as they come, so that a deep indent never pushes the
// record out of the characters kept.
void THexReader::Keep(std::string_view part)
{
    if (PendingLength == 0)
        Indented = StripIndent(part) || Indented;
    PendingLength += part.size();
    Pending.append(part.substr(0, std::min(part.size(), UsedLineLength - Pending.size())));
}
