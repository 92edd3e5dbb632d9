// Intel-HEX files: the reader places each record's data bytes at the record's address; the writer
// produces 16-byte data records and the end record.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "buffer/buffer_notify.h"
#include "buffer/file_result.h"
#include "buffer/hex_line.h"
#include "buffer/hex_reader.h"
#include "buffer/memory_buffer.h"

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
