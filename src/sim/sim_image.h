// The file that keeps a virtual chip's memories and lock bits across runs, like the chip in a socket.
//
// Format (binary, little endian where it matters):
//   offset 0   8 bytes  "KORVSIM1" (the last character is the format version)
//   offset 8   1 byte   chip kind, as the Device setting: 0 = AT89S8252, 1 = AT89S53, 2 = AT89S51,
//                       3 = AT89S52
//   offset 9   1 byte   programmed lock bits: bit 0 = LB1, bit 1 = LB2, bit 2 = LB3
//   offset 10  2 bytes  zero
//   offset 12  the code memory (8192, 12288, 4096 or 8192 bytes), then the EEPROM (2048 bytes on
//              the AT89S8252)
// The size is fixed by the kind, so a truncated or padded file is recognised, not half loaded.
#pragma once
#include "buffer/chip_kind.h"
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class TSimImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSimImage {
    TChipKind Kind = TChipKind::AT89S8252;
    std::uint8_t LockBits = 0;
    std::vector<std::uint8_t> Code;
    std::vector<std::uint8_t> Data;

    // An erased chip: every byte FF, no lock bit programmed.
    static TSimImage Erased(TChipKind kind);

    // Both throw TSimImageError with the path and the reason. Save writes a temporary file beside the
    // target and renames it over, so a crash or a full disk never leaves a half-written image.
    static TSimImage Load(const std::string &path);
    void Save(const std::string &path) const;
};
