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

int TMemoryBuffer::WriteRangeLast(bool code, int device) const
{
    if (!WholeDevice)
        return HighestAddress;
    return (code ? CodeMemorySize(device) : DataMemorySize) - 1;
}
