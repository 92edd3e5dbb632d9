#include "buffer/memory_buffer.h"

#include "buffer/chip_kind.h"

#include <algorithm>

namespace {
constexpr int UnknownDeviceCodeSize = 16;
} // namespace

int CodeMemorySize(int device)
{
    const TChipInfo *chip = ChipForDevice(device);
    return chip ? chip->CodeSize : UnknownDeviceCodeSize;
}

// The AT89S53 and unknown values keep the range they always had, whatever a data instruction
// reaches there.
int DataRangeSize(int device)
{
    return InstructionSetOf(device) == TInstructionSet::FourByte ? 0 : DataMemorySize;
}

bool HasDataMemory(int device)
{
    const TChipInfo *chip = ChipForDevice(device);
    return chip && chip->DataSize > 0;
}

void TMemoryBuffer::FillBuffer(std::uint8_t value, int device)
{
    std::fill_n(Buffer.begin(), CodeMemorySize(device), value);
}

// The chip wraps addresses beyond its memory onto its start, so a longer file would overwrite its
// own beginning with its tail, and a verify would compare the tail with the start.
int TMemoryBuffer::WriteRangeLast(bool code, int device) const
{
    const int memoryLast = (code ? CodeMemorySize(device) : DataRangeSize(device)) - 1;
    return WholeDevice ? memoryLast : std::min(HighestAddress, memoryLast);
}

bool TMemoryBuffer::CodeTouches(int index, int device) const
{
    return !OnlyFileBytes || ChipInfo(ChipKindForDevice(device)).AutoErase ||
           FileBytes.test(static_cast<std::size_t>(index));
}
