#include "buffer/hex_reader.h"

#include <algorithm>
#include <cstring>

#include "buffer/hex_file.h"

namespace {

// The longest record line: 9 header characters, 255 data bytes, the checksum and a CR. A longer line
// is no record, and the reader uses none of its characters beyond here, so it is kept only up to here.
constexpr std::size_t UsedLineLength = 9 + 2 * 255 + 2 + 1;

} // namespace

THexReader::THexReader(TMemoryBuffer &memory, int device) : Memory(memory), Device(device)
{
    Pending.reserve(UsedLineLength);
}

void THexReader::Feed(std::string_view chunk)
{
    while (!SawEnd && !chunk.empty()) {
        const char *base = chunk.data();
        const auto *lineFeed = static_cast<const char *>(std::memchr(base, '\n', chunk.size()));
        std::size_t end = lineFeed ? static_cast<std::size_t>(lineFeed - base) : chunk.size();
        if (const auto *ctrlZ = static_cast<const char *>(std::memchr(base, '\x1A', end))) {
            end = static_cast<std::size_t>(ctrlZ - base);
            SawEnd = true;
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

void THexReader::Finish()
{
    if (!SawEnd && PendingLength > 0)
        Parse(Pending, PendingLength == Pending.size());
}

// A line that was cut to UsedLineLength keeps its last kept character even when that is a CR: the
// line end lies beyond what a record can read.
void THexReader::Parse(std::string_view line, bool complete)
{
    if (complete && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const THexLineResult result = ParseHexLine(Memory, Device, line, Base);
    SawOverflow = SawOverflow || result.Dropped > 0;
    if (result.Stored + result.Dropped > 0)
        ++Found.DataRecords;
    Found.BytesStored += result.Stored;
    Judge(line, complete);
    Pending.clear();
    PendingLength = 0;
}

void THexReader::Judge(std::string_view line, bool complete)
{
    ++LineNumber;
    unsigned type = 0;
    const THexLineCheck check = complete ? CheckHexLine(line, type) : THexLineCheck::Malformed;
    if (check == THexLineCheck::Record || check == THexLineCheck::WrongChecksum)
        Found.EndRecord = Found.EndRecord || type == 1;
    if (check != THexLineCheck::WrongChecksum && check != THexLineCheck::Malformed)
        return;
    if (Found.DamagedLines++ == 0) {
        Found.FirstDamagedLine = LineNumber;
        Found.FirstDamageIsChecksum = check == THexLineCheck::WrongChecksum;
    }
}

void THexReader::Keep(std::string_view part)
{
    PendingLength += part.size();
    Pending.append(part.substr(0, std::min(part.size(), UsedLineLength - Pending.size())));
}
