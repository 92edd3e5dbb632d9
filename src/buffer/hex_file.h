// Intel-HEX files: the reader places each record's data bytes at the record's address; the writer
// produces 16-byte data records and the end record.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "buffer/buffer_notify.h"
#include "buffer/file_result.h"
#include "buffer/hex_reader.h"
#include "buffer/memory_buffer.h"

// What one record line put into the buffer: bytes stored, and bytes dropped for lying at or beyond
// the code memory size.
struct THexLineResult {
    int Stored = 0;
    int Dropped = 0;
};

// Stores one record line (without its line end). Fields are taken by character position and no
// checksum is checked. Extended address records (types 02 and 04) set `base`, which is added to the
// address of the data records after them; start address records (03, 05) store nothing; every
// other type but the end record (01) counts as data.
THexLineResult ParseHexLine(TMemoryBuffer &memory, int device, std::string_view line, std::uint32_t &base);

// How a line compares with a proper record: a start code, hex digit pairs whose count agrees with the
// byte count, and a checksum that makes them sum to 0. Blank lines (white space only) are none of
// these. Trailing white space is allowed.
enum class THexLineCheck { Blank, Record, WrongChecksum, Malformed };
// `type` is the record type of a Record or WrongChecksum line.
THexLineCheck CheckHexLine(std::string_view line, unsigned &type);

// Reads the file into the buffer without clearing it first; HighestAddress becomes the largest
// index stored (0 when none). The overflow note is shown unless Silent. A file without a single
// data record is no Intel-HEX file: it fails and leaves the buffer as it was. Damage the reading
// passed over (read by position, or skipped) is named in Warning, an unusual form in Note.
TFileResult LoadHexFile(TMemoryBuffer &memory, int device, const std::string &name, bool Silent,
                        const TBufferNotify &notify, THexReader::TDamaged damaged = THexReader::TDamaged::Read);

// Writes the bytes first..last as 16-byte type-00 records followed by ":00000001FF". An empty range
// (last < first) writes the end record only.
TFileResult SaveHexFile(const TMemoryBuffer &memory, int first, int last, const std::string &name);

// Intel-HEX for the extensions its files usually have (".hex", ".ihx", ".ihex", ".h86", ".mcs" and
// others, in any letter case), binary for anything else.
bool IsHexFileName(const std::string &name);

// Whether the file's first line that is not blank is an Intel-HEX record with a right checksum (after
// a byte-order mark, and blanks before it): such a file is no binary image, whatever its name.
bool StartsWithHexRecord(const std::string &name);
