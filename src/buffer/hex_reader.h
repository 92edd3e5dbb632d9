// Cuts a stream of Intel-HEX text into record lines for ParseHexLine, chunk by chunk, so that a
// file of any size and lines of any length load without holding the file in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "buffer/memory_buffer.h"

// What the lenient reading met besides the bytes it stored, so that a front end can tell a damaged
// or cut-off file from a sound one.
struct THexFindings {
    int DataRecords = 0; // lines that stored a byte, or dropped one beyond the memory
    int BytesStored = 0;
    bool EndRecord = false;
    int DamagedLines = 0;     // a wrong checksum, or not a record at all
    int FirstDamagedLine = 0; // counted from 1
    bool FirstDamageIsChecksum = false;

    bool operator==(const THexFindings &) const = default;
};

class THexReader {
public:
    THexReader(TMemoryBuffer &memory, int device);

    // A line ends with LF (a CR before it is dropped); Ctrl-Z ends the text, and whatever follows
    // it is ignored.
    void Feed(std::string_view chunk);
    // Parses a last line that has no line end.
    void Finish();

    bool Overflow() const { return SawOverflow; }
    bool Ended() const { return SawEnd; }
    const THexFindings &Findings() const { return Found; }

private:
    void Parse(std::string_view line, bool complete);
    void Judge(std::string_view line, bool complete);
    void Keep(std::string_view part);

    TMemoryBuffer &Memory;
    int Device;
    // The start of a line that spans chunks, cut to the characters a record can hold.
    std::string Pending;
    std::size_t PendingLength = 0;
    std::uint32_t Base = 0; // of the extended address records
    int LineNumber = 0;
    THexFindings Found;
    bool SawOverflow = false;
    bool SawEnd = false;
};
