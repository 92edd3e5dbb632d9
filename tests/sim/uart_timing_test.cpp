// The program's baud rate from its UART and timer registers, and when a terminal still reads it.
#include "sim/uart_timing.h"

#include <gtest/gtest.h>

namespace {

constexpr double Crystal = 11059200.0;

struct TBaudCase {
    const char *What;
    TUartRegisters Registers;
    bool Timer2;
    std::optional<double> Baud;
};

// SCON, PCON, TCON, TMOD, TH1, T2CON, RCAP2L, RCAP2H
const TBaudCase BaudCases[] = {
    {"timer 1 auto-reload, FDh", {0x50, 0x00, 0x40, 0x20, 0xFD, 0, 0, 0}, true, 9600.0},
    {"SMOD doubles it", {0x50, 0x80, 0x40, 0x20, 0xFD, 0, 0, 0}, true, 19200.0},
    {"mode 3 alike, timer 0 bits ignored", {0xD0, 0x00, 0x50, 0x21, 0xFA, 0, 0, 0}, false, 4800.0},
    {"timer 1 stopped", {0x50, 0x00, 0x00, 0x20, 0xFD, 0, 0, 0}, true, std::nullopt},
    {"timer 1 counting pin T1", {0x50, 0x00, 0x40, 0x60, 0xFD, 0, 0, 0}, true, std::nullopt},
    {"timer 1 in 16-bit mode", {0x50, 0x00, 0x40, 0x10, 0xFD, 0, 0, 0}, true, std::nullopt},
    {"timer 2, FFDCh", {0x50, 0x00, 0x00, 0x00, 0x00, 0x34, 0xDC, 0xFF}, true, 9600.0},
    {"timer 2, FFFDh, SMOD no matter", {0x50, 0x80, 0x00, 0x00, 0x00, 0x34, 0xFD, 0xFF}, true, 115200.0},
    {"timer 2 stopped", {0x50, 0x00, 0x40, 0x20, 0xFD, 0x30, 0xDC, 0xFF}, true, std::nullopt},
    {"an 8051 has no timer 2: timer 1 clocks", {0x50, 0x00, 0x40, 0x20, 0xFD, 0x34, 0xDC, 0xFF}, false, 9600.0},
    {"mode 2, fosc/64", {0x90, 0x00, 0, 0, 0, 0, 0, 0}, true, Crystal / 64},
    {"mode 2 with SMOD, fosc/32", {0x90, 0x80, 0, 0, 0, 0, 0, 0}, true, Crystal / 32},
    {"mode 0 is a shift register", {0x10, 0x00, 0x40, 0x20, 0xFD, 0, 0, 0}, true, std::nullopt},
};

TEST(UartTiming, BaudFromTheRegistersTheProgramSetUp)
{
    for (const TBaudCase &c : BaudCases) {
        const std::optional<double> baud = UartBaud(c.Registers, Crystal, c.Timer2);
        ASSERT_EQ(baud.has_value(), c.Baud.has_value()) << c.What;
        if (baud) {
            EXPECT_NEAR(*baud, *c.Baud, 0.01) << c.What;
        }
    }
    // A 12 MHz crystal gives 9600 baud no exact reload: FDh comes out at 10417.
    const TUartRegisters twelve{0x50, 0x00, 0x40, 0x20, 0xFD, 0, 0, 0};
    EXPECT_NEAR(*UartBaud(twelve, 12e6, true), 10416.67, 0.01);
}

TEST(UartTiming, TerminalReadsWithinFourPercent)
{
    EXPECT_TRUE(BaudsAgree(9600.0, 9600));
    EXPECT_TRUE(BaudsAgree(4807.7, 4800)); // 12 MHz, SMOD, F3h
    EXPECT_TRUE(BaudsAgree(9600 * 1.039, 9600));
    EXPECT_FALSE(BaudsAgree(9600 * 1.041, 9600));
    EXPECT_FALSE(BaudsAgree(10416.67, 9600)); // 12 MHz, FDh
    EXPECT_FALSE(BaudsAgree(9600.0, 19200));
    EXPECT_FALSE(BaudsAgree(9600.0, 0));
}

} // namespace
