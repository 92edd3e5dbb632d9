#include <algorithm>
#include <gtest/gtest.h>

#include "buffer/chip_kind.h"
#include "buffer/memory_buffer.h"
#include "buffer_test_support.h"

TEST(MemoryBuffer, CodeMemorySizeFollowsTheDeviceKind)
{
    EXPECT_EQ(CodeMemorySize(0), 8192);
    EXPECT_EQ(CodeMemorySize(1), 12288);
    EXPECT_EQ(CodeMemorySize(2), 4096);
    EXPECT_EQ(CodeMemorySize(3), 8192);
    for (int unknown : {4, 7, -1, 255})
        EXPECT_EQ(CodeMemorySize(unknown), 16) << "device kind " << unknown;
}

TEST(MemoryBuffer, FillCoversTheCodeMemoryOnlyAndTouchesNothingElse)
{
    for (int device : {0, 1, 2, 7}) {
        TMemoryBuffer memory = FilledBuffer(0x5A);
        memory.LastProgrammed.fill(0x33);
        memory.HighestAddress = 99;
        memory.FillBuffer(0xFF, device);
        const auto size = static_cast<std::ptrdiff_t>(CodeMemorySize(device));
        EXPECT_EQ(std::count(memory.Buffer.begin(), memory.Buffer.begin() + size, 0xFF), size) << device;
        EXPECT_EQ(std::count(memory.Buffer.begin() + size, memory.Buffer.end(), 0x5A), BufferSize - size) << device;
        EXPECT_EQ(std::count(memory.LastProgrammed.begin(), memory.LastProgrammed.end(), 0x33), BufferSize);
        EXPECT_EQ(memory.HighestAddress, 99);
    }
}

TEST(MemoryBuffer, BytesAboveASmallerChipSurviveAndShowAgain)
{
    TMemoryBuffer memory;
    memory.FillBuffer(0xFF, 1);
    memory.FillBuffer(0x00, 0);
    EXPECT_EQ(memory.Buffer[8191], 0x00);
    EXPECT_EQ(memory.Buffer[8192], 0xFF);
    EXPECT_EQ(memory.Buffer[BufferSize - 1], 0xFF);
}

TEST(MemoryBuffer, WriteRangeLastFollowsWholeDeviceAndHighestAddress)
{
    TMemoryBuffer memory;
    memory.WholeDevice = true;
    memory.HighestAddress = 5;
    EXPECT_EQ(memory.WriteRangeLast(true, 0), 8191);
    EXPECT_EQ(memory.WriteRangeLast(true, 1), 12287);
    EXPECT_EQ(memory.WriteRangeLast(true, 7), 15);
    for (int device : {0, 1, 7})
        EXPECT_EQ(memory.WriteRangeLast(false, device), DataMemorySize - 1) << device;

    memory.WholeDevice = false;
    EXPECT_EQ(memory.WriteRangeLast(true, 0), 5);
    EXPECT_EQ(memory.WriteRangeLast(false, 0), 5);
    memory.HighestAddress = -1; // an empty binary file: nothing to write
    EXPECT_LT(memory.WriteRangeLast(true, 0), 0);
    EXPECT_LT(memory.WriteRangeLast(false, 0), 0);
    // Beyond the memory the chip would wrap onto its start: a 3000-byte file for the EEPROM, or one
    // loaded as AT89S53 before the switch to the AT89S8252.
    memory.HighestAddress = 2999;
    EXPECT_EQ(memory.WriteRangeLast(false, 0), DataMemorySize - 1);
    EXPECT_EQ(memory.WriteRangeLast(true, 0), 2999);
    memory.HighestAddress = 12287;
    EXPECT_EQ(memory.WriteRangeLast(true, 0), 8191);
    EXPECT_EQ(memory.WriteRangeLast(true, 1), 12287);
}

// The chip table against the datasheets' own numbers, written here rather than taken from the table or
// the virtual chip, so that a changed row shows: the programming thread waits what the table says.
TEST(ChipTable, TimingsAndLimitsAreTheDatasheets)
{
    // AT89S51/52 (2487D/1919D-MICRO-6/08 and before): tERASE 500 ms; tSWC 64 crystal clocks + 400 us,
    // 421 us at the slowest crystal (3 MHz), which the table rounds up to 0.5 ms; SCK pulses of 8
    // crystal clocks high and low, so SCK below 1/16 of the crystal.
    const double slowestWriteCycleUs = 64 / 3.0 + 400;
    for (const TChipKind kind : {TChipKind::AT89S51, TChipKind::AT89S52}) {
        const TChipInfo &chip = ChipInfo(kind);
        SCOPED_TRACE(chip.Name);
        EXPECT_EQ(chip.EraseMs, 500);
        EXPECT_GE(chip.WriteCycleUs, slowestWriteCycleUs);
        EXPECT_EQ(chip.WriteCycleUs, 500);
        EXPECT_EQ(chip.WriteWait, TWriteWait::WriteCycle);
        EXPECT_EQ(chip.SckDivisor, 16);
    }
    // AT89S8252 (0401G-MICRO-3/06), AT89S53: a write "typically takes less than 2.5 ms", so the Write
    // Delay setting decides; SCK below 1/40 of the crystal.
    for (const TChipKind kind : {TChipKind::AT89S8252, TChipKind::AT89S53}) {
        const TChipInfo &chip = ChipInfo(kind);
        SCOPED_TRACE(chip.Name);
        EXPECT_EQ(chip.WriteCycleUs, 2500);
        EXPECT_EQ(chip.WriteWait, TWriteWait::Setting);
        EXPECT_EQ(chip.SckDivisor, 40);
    }
}
