// Binary files: plain memory images, byte n of the file at buffer index n.
#pragma once
#include <string>

#include "buffer/buffer_notify.h"
#include "buffer/file_result.h"
#include "buffer/memory_buffer.h"

// Fills the buffer from index 0 with at most CodeMemorySize bytes of the file; the bytes above keep
// their values. HighestAddress becomes the number of bytes stored minus one (-1 for an empty file).
// A longer file shows the overflow note unless Silent.
TFileResult LoadBinaryFile(TMemoryBuffer &memory, int device, const std::string &name, bool Silent,
                           const TBufferNotify &notify);

// Always writes exactly CodeMemorySize bytes, whatever was loaded or read before.
TFileResult SaveBinaryFile(const TMemoryBuffer &memory, int device, const std::string &name);

// Writes the bytes first..last (nothing when last < first).
TFileResult SaveBinaryRange(const TMemoryBuffer &memory, int first, int last, const std::string &name);
