// The memory image of the target chip and the geometry of the chips in the chip table. The owner
// (the main window, or the command-line tool) holds one TMemoryBuffer for the whole run.
#pragma once
#include <array>
#include <bitset>
#include <cstdint>

constexpr int BufferSize = 12288;
constexpr int DataMemorySize = 2048;

// One bit per buffer index: which bytes a loaded file gave a value.
using TCoverage = std::bitset<BufferSize>;

// The code memory of the chip the Device setting names; any other value (a hand-edited settings
// file) gets 16 bytes so that a wrong value can never reach beyond a real chip.
int CodeMemorySize(int device);
// The data memory the data operations cover: 2048 bytes as ever, none on the chips whose
// instructions have no data memory at all.
int DataRangeSize(int device);
// Whether the chip the Device setting names has a data memory its data instructions reach.
bool HasDataMemory(int device);

struct TMemoryBuffer {
    std::array<std::uint8_t, BufferSize> Buffer{};
    std::array<std::uint8_t, BufferSize> LastProgrammed{};
    // LastProgrammed says what the chip's code memory holds only at indices 0..LastProgrammedKnownTo,
    // the range of the last code write that finished; below 0 it says nothing. Anything that may
    // have changed the chip since (an erase, lock bits, a failed or stopped write, another port or
    // device kind) forgets it, so that a fast write then writes every byte.
    int LastProgrammedKnownTo = -1;
    // Set: writes and verifies cover the whole memory. Clear: they cover 0..HighestAddress, as far as
    // the memory reaches.
    bool WholeDevice = false;
    // Written only by the file readers; negative means an empty range.
    int HighestAddress = 0;
    // The indices the last file load stored; written only by the file readers.
    TCoverage FileBytes;
    // Set by the front ends that write a file unattended (korvel-cli, batch mode): on a chip that is
    // erased before it is written, code writes and verifies touch only FileBytes, so the rest stays
    // erased rather than taking the buffer's 00. The GUI's buffer is written as the user sees it.
    bool OnlyFileBytes = false;

    // Sets the first CodeMemorySize bytes; the bytes above keep their values.
    void FillBuffer(std::uint8_t value, int device);
    // The last index a write or verify of code (or data) memory covers, never beyond that memory;
    // below 0 when nothing.
    int WriteRangeLast(bool code, int device) const;
    // Whether a code write or verify on the chip `device` names touches the index (see OnlyFileBytes).
    bool CodeTouches(int index, int device) const;
    void ForgetLastProgrammed() { LastProgrammedKnownTo = -1; }
};
