// The two chips the virtual target can be, and what their memories hold.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum class TChipKind : std::uint8_t { AT89S8252 = 0, AT89S53 = 1 };

constexpr std::size_t CodeSize(TChipKind kind) { return kind == TChipKind::AT89S53 ? 12288 : 8192; }
constexpr std::size_t DataSize(TChipKind kind) { return kind == TChipKind::AT89S53 ? 0 : 2048; }

// The program's Device setting: 1 is the AT89S53, every other value the AT89S8252.
constexpr TChipKind ChipKindForDevice(int device)
{
    return device == 1 ? TChipKind::AT89S53 : TChipKind::AT89S8252;
}

std::string ChipKindName(TChipKind kind);
