// The chips the program programs, one row each. Everything that depends on the chip reads it here:
// the buffer's geometry, the instructions, the presence test, the virtual chip, the dialogs and
// korvel-cli.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The values are those of the Device setting.
enum class TChipKind : std::uint8_t { AT89S8252 = 0, AT89S53 = 1, AT89S51 = 2, AT89S52 = 3 };

enum class TInstructionSet : std::uint8_t {
    // Three bytes, a byte write erases the byte itself, no signature: only a write and read-back
    // tells that a chip is there.
    ThreeByte,
    // Four bytes, Programming Enable echoes 69, a signature, page reads, and a write can only clear
    // bits: the chip is erased before it is written.
    FourByte,
};

// What a byte write waits before the next instruction.
enum class TWriteWait : std::uint8_t {
    // The Write Delay setting: the datasheets give only a typical write time ("less than 2.5 ms").
    Setting,
    // The chip's own write cycle, which the datasheets bound for the slowest crystal.
    WriteCycle,
};

enum class TLockEncoding : std::uint8_t {
    ClearedBits, // one instruction AC, E7 with bit 7, 6, 5 cleared for lock bit 1, 2, 3
    Modes,       // one instruction AC, E0 + (mode - 1) per mode 2..4, programmed in order
};

using TSignature = std::array<std::uint8_t, 3>;
// The first signature byte, the maker's code.
constexpr std::uint8_t SignatureMaker = 0x1E;

// The 8051 core around the memories, and the SFR whose bits select the second data pointer (DP1L and
// DP1H at 84h and 85h) and, on a chip with data EEPROM, map that EEPROM over MOVX addresses 0 up.
struct TCoreInfo {
    bool Is8052;                  // 256 bytes of internal RAM and timer 2; else 128 bytes, two timers
    std::uint8_t ControlRegister; // WMCON (96h) or AUXR1 (A2h)
    std::uint8_t ControlReset;    // its value after reset
    std::uint8_t DpsMask;         // its bit that selects data pointer 1
    std::uint8_t EepromMask;      // its bit that maps the data EEPROM (EEMEN), 0 without
};

struct TChipInfo {
    TChipKind Kind;
    const char *Name;      // "AT89S52"
    const char *CliName;   // korvel-cli's --device value, "52"
    int CodeSize;          // bytes of code (flash) memory
    int DataSize;          // bytes of data (EEPROM) memory, 0 without
    TInstructionSet Instructions;
    TSignature Signature;  // 00 00 00 where serial mode reads none
    int PageSize;          // bytes of one page read, 0 without page reads
    bool AutoErase;        // a byte write replaces the byte, rather than clearing bits of it
    int EraseMs;           // the longest chip erase
    int WriteCycleUs;      // the longest byte write, at the slowest crystal the chip allows
    TWriteWait WriteWait;
    int SckDivisor;        // SCK must stay below the target's crystal frequency divided by this
    TLockEncoding Locks;
    TCoreInfo Core;
};

constexpr std::array<TChipInfo, 4> ChipTable{{
    {TChipKind::AT89S8252, "AT89S8252", "8252", 8192, 2048, TInstructionSet::ThreeByte, {}, 0, true, 16, 2500,
     TWriteWait::Setting, 40, TLockEncoding::ClearedBits, {true, 0x96, 0x02, 0x04, 0x08}},
    {TChipKind::AT89S53, "AT89S53", "53", 12288, 0, TInstructionSet::ThreeByte, {}, 0, true, 16, 2500,
     TWriteWait::Setting, 40, TLockEncoding::ClearedBits, {true, 0x96, 0x02, 0x04, 0x00}},
    {TChipKind::AT89S51, "AT89S51", "51", 4096, 0, TInstructionSet::FourByte, {SignatureMaker, 0x51, 0x06}, 256, false, 500,
     500, TWriteWait::WriteCycle, 16, TLockEncoding::Modes, {false, 0xA2, 0x00, 0x01, 0x00}},
    {TChipKind::AT89S52, "AT89S52", "52", 8192, 0, TInstructionSet::FourByte, {SignatureMaker, 0x52, 0x06}, 256, false, 500,
     500, TWriteWait::WriteCycle, 16, TLockEncoding::Modes, {true, 0xA2, 0x00, 0x01, 0x00}},
}};

constexpr const TChipInfo &ChipInfo(TChipKind kind) { return ChipTable[static_cast<std::size_t>(kind)]; }

// The row of a Device setting; nothing for a value no chip has (a hand-edited settings file).
constexpr const TChipInfo *ChipForDevice(int device)
{
    return device >= 0 && device < static_cast<int>(ChipTable.size()) ? &ChipTable[static_cast<std::size_t>(device)]
                                                                       : nullptr;
}

// The chip a Device value stands for where one must be chosen: the AT89S8252 for an unknown value,
// which encodes its instructions alike.
constexpr TChipKind ChipKindForDevice(int device)
{
    const TChipInfo *chip = ChipForDevice(device);
    return chip ? chip->Kind : TChipKind::AT89S8252;
}

constexpr TInstructionSet InstructionSetOf(int device) { return ChipInfo(ChipKindForDevice(device)).Instructions; }

std::string ChipKindName(TChipKind kind);
// The chip whose signature this is; nothing for an unknown or unreadable one.
std::optional<TChipKind> ChipWithSignature(const TSignature &signature);
// "1E 52 06"
std::string SignatureText(const TSignature &signature);
