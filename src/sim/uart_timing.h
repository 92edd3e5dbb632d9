// The baud rate an 8051 program's UART runs at, read from the registers the program set up, and
// whether a terminal at another rate still reads it. The simulator passes every byte whatever the
// two rates are; a real line garbles them, so a mismatch is worth telling the user.
#pragma once
#include <cstdint>
#include <optional>

struct TUartRegisters {
    std::uint8_t Scon = 0;
    std::uint8_t Pcon = 0;
    std::uint8_t Tcon = 0;
    std::uint8_t Tmod = 0;
    std::uint8_t Th1 = 0;
    std::uint8_t T2con = 0;
    std::uint8_t Rcap2l = 0;
    std::uint8_t Rcap2h = 0;
};

// The SFR addresses, in the order of the fields above.
constexpr std::uint8_t UartRegisterAddresses[] = {0x98, 0x87, 0x88, 0x89, 0x8D, 0xC8, 0xCA, 0xCB};

// The rate the transmitter sends at. Nothing in mode 0 (a shift register, no serial line) and when
// its clock is no steady baud generator: a stopped timer, a timer counting pins, timer 1 in a mode
// without auto-reload (whose rate depends on the program's interrupt code). Timer 2 counts only on a
// chip that has one.
std::optional<double> UartBaud(const TUartRegisters &registers, double crystalHz, bool timer2);

// How far apart the two rates may be: by the stop bit of an 8-N-1 frame the receiver's sample has
// drifted by 9.5 bit times of the difference, and it must stay within half a bit, less what
// sampling at 16 times the rate costs.
constexpr double BaudTolerance = 0.04;

// Whether a terminal at terminalBaud reads what a UART at programBaud sends.
bool BaudsAgree(double programBaud, int terminalBaud);
