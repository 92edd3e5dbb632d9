#include "buffer/hex_reader.h"

#include <algorithm>
#include <cstring>

#include "buffer/hex_file.h"

namespace {

// The farthest character a record can use: 9 header characters and 255 data bytes. Characters
// beyond it are never read, so a long line is kept only up to here.
constexpr std::size_t UsedLineLength = 9 + 2 * 255;

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
    if (!ParseHexLine(Memory, Device, line, Base))
        SawOverflow = true;
    Pending.clear();
    PendingLength = 0;
}

void THexReader::Keep(std::string_view part)
{
    PendingLength += part.size();
    Pending.append(part.substr(0, std::min(part.size(), UsedLineLength - Pending.size())));
}
