// A program for the virtual chip that sends without pause: SCON mode 1, timer 2 clocking the UART at
// `baud` from the crystal, then 'A' to 'Z' over and over. The AT89S52's code memory holds it.
#pragma once
#include "sim/sim_image.h"

#include <algorithm>
#include <cstdint>
#include <vector>

inline TSimImage StreamerProgram(int baud, double crystalHz)
{
    const int reload = 65536 - static_cast<int>(crystalHz / (32.0 * baud) + 0.5);
    const auto high = static_cast<std::uint8_t>(reload >> 8), low = static_cast<std::uint8_t>(reload);
    const std::vector<std::uint8_t> code = {
        0x75, 0x98, 0x50, // MOV SCON,#50h
        0x75, 0xCB, high, // MOV RCAP2H,#high
        0x75, 0xCA, low,  // MOV RCAP2L,#low
        0x75, 0xCD, high, // MOV TH2,#high
        0x75, 0xCC, low,  // MOV TL2,#low
        0x75, 0xC8, 0x34, // MOV T2CON,#34h     RCLK, TCLK, TR2
        0x74, 0x41,       // MOV A,#'A'
        0xF5, 0x99,       // 0014 MOV SBUF,A
        0x30, 0x99, 0xFD, //      JNB TI,$
        0xC2, 0x99,       //      CLR TI
        0x04,             //      INC A
        0xB4, 0x5B, 0xF5, //      CJNE A,#'Z'+1,0014h
        0x74, 0x41,       //      MOV A,#'A'
        0x80, 0xF1,       //      SJMP 0014h
    };
    TSimImage chip = TSimImage::Erased(TChipKind::AT89S52);
    std::copy(code.begin(), code.end(), chip.Code.begin());
    return chip;
}
