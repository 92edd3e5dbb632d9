// How fast the link clocks SCK on a port, and what that asks of the target: the datasheets want SCK
// below the crystal's frequency divided by the chip's SckDivisor, so a slow crystal needs a longer
// Clock Delay.
#pragma once
#include "buffer/chip_kind.h"

#include <string>

struct TSckRate {
    double BitMs = 0;        // one SCK period of a bit sent, as measured; 0 while not measured
    double ClockDelayMs = 0; // the Clock Delay it was measured with

    bool Measured() const { return BitMs > 0; }
    // The same port with another Clock Delay: the line requests cost what they cost, and the delay is
    // waited as asked.
    TSckRate WithClockDelay(double clockDelayMs) const;
    double Hz() const { return Measured() ? 1000.0 / BitMs : 0; }
    // The slowest crystal the chip takes this SCK from.
    double CrystalHz(TChipKind kind) const { return Hz() * ChipInfo(kind).SckDivisor; }
};

// "SCK measured at 9.8 kHz with a Clock Delay of 0.1 ms: the AT89S52 needs a crystal of 157 kHz or more
// (SCK below 1/16 of it)"
std::string SckText(const TSckRate &rate, TChipKind kind);
// "9.8 kHz", "1.25 MHz", "850 Hz", with the decimal separator given.
std::string FrequencyText(double hz, char decimalSeparator = '.');
