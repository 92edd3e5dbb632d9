#include "sim/uart_timing.h"

#include <cmath>

namespace {

constexpr std::uint8_t SmodBit = 0x80;     // PCON: double the rate of modes 1 to 3 from timer 1
constexpr std::uint8_t Tr1Bit = 0x40;      // TCON: timer 1 runs
constexpr std::uint8_t Timer1Mode = 0x30;  // TMOD: timer 1's mode bits
constexpr std::uint8_t AutoReload = 0x20;  //       mode 2, 8 bits reloaded from TH1
constexpr std::uint8_t Timer1Counts = 0x40; //      C/T: counts pin T1 instead of the crystal
constexpr std::uint8_t TclkBit = 0x10;     // T2CON: timer 2 clocks the transmitter
constexpr std::uint8_t Tr2Bit = 0x04;      //        timer 2 runs
constexpr std::uint8_t Timer2Counts = 0x02; //       C/T2: counts pin T2 instead of the crystal

std::optional<double> FromTimer1(const TUartRegisters &r, double crystalHz)
{
    if (!(r.Tcon & Tr1Bit) || (r.Tmod & Timer1Counts) || (r.Tmod & Timer1Mode) != AutoReload)
        return std::nullopt;
    const double smod = (r.Pcon & SmodBit) ? 2.0 : 1.0;
    return smod / 32.0 * crystalHz / (12.0 * (256 - r.Th1));
}

std::optional<double> FromTimer2(const TUartRegisters &r, double crystalHz)
{
    if (!(r.T2con & Tr2Bit) || (r.T2con & Timer2Counts))
        return std::nullopt;
    const int reload = r.Rcap2h << 8 | r.Rcap2l;
    return crystalHz / (32.0 * (65536 - reload));
}

} // namespace

std::optional<double> UartBaud(const TUartRegisters &registers, double crystalHz, bool timer2)
{
    switch (registers.Scon >> 6) {
    case 0:
        return std::nullopt;
    case 2:
        return crystalHz / ((registers.Pcon & SmodBit) ? 32.0 : 64.0);
    default:
        if (timer2 && (registers.T2con & TclkBit))
            return FromTimer2(registers, crystalHz);
        return FromTimer1(registers, crystalHz);
    }
}

bool BaudsAgree(double programBaud, int terminalBaud)
{
    return terminalBaud > 0 && std::abs(programBaud / terminalBaud - 1.0) <= BaudTolerance;
}
