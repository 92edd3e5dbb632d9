// Cuts a stream of Intel-HEX text into record lines for ParseHexLine, chunk by chunk, so that a
// file of any size and lines of any length load without holding the file in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "buffer/memory_buffer.h"

// Why a line is no sound part of an Intel-HEX file.
enum class THexDamage : std::uint8_t {
    None,
    WrongChecksum,
    NotARecord,
    UnknownType, // a record of a type the format does not have (06 and up), its checksum right
    AfterEnd,    // a line after the end-of-file record
};

// What the reading met besides the bytes it stored, so that a front end can tell a damaged or
// cut-off file from a sound one, and say what it read in an unusual form.
struct THexFindings {
    int DataRecords = 0; // lines that stored a byte, or dropped one beyond the memory
    int BytesStored = 0;
    int BytesDropped = 0; // at or beyond the code memory
    bool EndRecord = false;
    int DamagedLines = 0;     // a wrong checksum, not a record at all, an unknown type, after the end
    int FirstDamagedLine = 0; // counted from 1
    THexDamage FirstDamage = THexDamage::None;
    // Forms that are read as they are meant: CR alone ending the lines, a UTF-8 byte-order mark at the
    // start, blanks before the start code.
    bool CrLineEnds = false;
    bool ByteOrderMark = false;
    int IndentedLines = 0;

    bool operator==(const THexFindings &) const = default;
};

class THexReader {
public:
    // Damaged lines are read by character position, as far as their fields convert (the buffer
    // menu's reading, which a person looks at), or skipped whole (an unattended write that was told
    // to take what can be read).
    enum class TDamaged { Read, Skip };

    THexReader(TMemoryBuffer &memory, int device, TDamaged damaged = TDamaged::Read);

    // Lines end with LF, a CR before it dropped; in a text whose first line end is a CR alone, each
    // CR ends a line. Ctrl-Z ends the text, and whatever follows it is ignored.
    void Feed(std::string_view chunk);
    // Parses a last line that has no line end.
    void Finish();

    bool Overflow() const { return Found.BytesDropped > 0; }
    bool Ended() const { return SawCtrlZ; }
    const THexFindings &Findings() const { return Found; }

private:
    enum class TLineEnds : std::uint8_t { Undecided, Lf, Cr };

    void FeedText(std::string_view text);
    void DecideLineEnds(std::string_view text);
    void FeedLines(std::string_view text);
    void Parse(std::string_view line, bool complete);
    THexDamage Judge(std::string_view line, bool complete);
    void Keep(std::string_view part);

    TMemoryBuffer &Memory;
    int Device;
    TDamaged Damaged;
    // The first bytes of the text, until they show whether they begin with a byte-order mark.
    std::string Start;
    bool Started = false;
    TLineEnds Ends = TLineEnds::Undecided;
    bool HeldCr = false; // a CR ended the last chunk before the line ends were decided
    // The start of a line that spans chunks, without its leading blanks and cut to the characters a
    // record can hold.
    std::string Pending;
    std::size_t PendingLength = 0;
    bool Indented = false; // the line being read had blanks before it
    std::uint32_t Base = 0; // of the extended address records
    int LineNumber = 0;
    THexFindings Found;
    bool SawCtrlZ = false;
};
