#include "buffer/memory_buffer.h"

#include <algorithm>

int CodeMemorySize(int device)
{
    switch (device) {
    case 0:
        return 8192;
    case 1:
        return 12288;
    default:
        return 16;
    }
}

void TMemoryBuffer::FillBuffer(std::uint8_t value, int device)
{
    std::fill_n(Buffer.begin(), CodeMemorySize(device), value);
}

// The chip wraps addresses beyond its memory onto its start, so a longer file would overwrite its
// own beginning with its tail, and a verify would compare the tail with the start.
int TMemoryBuffer::WriteRangeLast(bool code, int device) const
{
    const int memoryLast = (code ? CodeMemorySize(device) : DataMemorySize) - 1;
    return WholeDevice ? memoryLast : std::min(HighestAddress, memoryLast);
}
