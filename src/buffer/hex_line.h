// One Intel-HEX record line: how it compares with a proper record, and what it stores. The file
// reader and the stream reader both build on these, and neither on the other.
#pragma once
#include <cstdint>
#include <string_view>

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
