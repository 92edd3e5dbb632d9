// The UART pins of a cable's FTDI chip with the passive adapter and the virtual chip behind them: the
// registers that drive them in UART and bit-bang mode and the samples bit-bang mode reads. Both fake
// cables share it: the one that answers the port's driver calls (ftdi_fake.h) and the one that
// answers libusb's and libftdi's below the driver (ftdi_bus.h).
//
// What it takes for granted, with a switch for each other reading the documents leave open:
// - A bit-bang sample reads the pins first and then drives the byte, so the bytes read run one
//   behind the bytes written (AN232R-01). Echo Same: a chip that drives first and reads after.
// - A pin that is no output in the bit-bang mask floats high (the chip's pull-ups).
// - The latch keeps the last byte written in bit-bang mode across UART mode; at power-up it holds
//   00. LatchWhileInput: whether a byte written while a pin is an input reaches that pin's latch.
// - ModemInBitBang: whether modem control and break set in bit-bang mode act when UART mode returns,
//   or are lost, the UART coming back with what was last set in UART mode.
// - An RS232 cable: a line that is on is a low pin, through the transceiver. Ttl: no transceiver, a
//   line that is on is a high pin.
#pragma once
#include "sim/virtual_adapter.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class TVirtualChip;
struct TSettings;

class TFtdiPins {
public:
    struct TPinState {
        double Seconds;    // on the cable's clock
        std::uint8_t Pins; // TXD D0, RTS D2, DTR D4
    };
    enum class TLatchReading { Taken, Ignored };
    enum class TModemReading { Kept, Dropped };
    enum class TEchoReading { OneBehind, Same };

    // The adapter is wired as the settings say, read again at every change.
    TFtdiPins(TVirtualChip &chip, const TSettings &settings);
    TFtdiPins(TVirtualChip &, const TSettings &&) = delete;

    TLatchReading LatchWhileInput = TLatchReading::Taken;
    TModemReading ModemInBitBang = TModemReading::Kept;
    TEchoReading Echo = TEchoReading::OneBehind;
    bool Ttl = false;
    // An output line shorted to a level: the pin, the adapter and the samples all show that level.
    void ShortPin(std::uint8_t pin, bool high) { Short = {pin, high}; }
    // Input line (0 CTS .. 3 RI) on exactly at the samples the function names (their index is
    // Samples() as it stood when each was read), instead of as the chip drives it.
    void ScriptInput(int line, std::function<bool(std::uint64_t sample)> on) { Script[line] = std::move(on); }

    // The registers, as the chip's requests set them at a moment of the cable's clock.
    void SetBitMode(std::uint8_t outputs, bool bitBang, double now);
    void SetBreak(bool on, double now);
    void SetModem(bool dtr, bool rts, double now);
    // As a killed process leaves the chip: in bit-bang mode with these outputs.
    void LeaveInBitBang(std::uint8_t outputs, std::uint8_t latch, double now);
    // The pins' levels to the adapter, noted when they changed (also at power-up, by an open).
    void Drive(double now);
    // One bit-bang sample: the pins as read, before the byte is driven (unless drive is false: a byte
    // the chip never drives).
    std::uint8_t Sample(std::uint8_t byte, bool drive, double now);

    bool BitBang() const { return InBitBang; }
    // CTS, DSR, DCD and RI as libftdi's modem status has them (FtdiStatus).
    std::uint16_t ModemStatus();
    // RESET, as the adapter leaves it, lets the target run its program (and talk).
    bool TargetRuns() const;
    // Every distinct state of the output pins, in order.
    const std::vector<TPinState> &History() const { return States; }
    std::uint64_t Samples() const { return SampleCount; }

private:
    std::uint8_t Outputs() const;
    std::uint8_t Read();

    TVirtualAdapter Adapter;
    const TSettings &Settings;
    bool InBitBang = false;
    std::uint8_t Mask = 0;
    std::uint8_t Latch = 0x00;
    bool BreakOn = false;
    bool DtrOn = false;
    bool RtsOn = false;
    std::optional<std::pair<std::uint8_t, bool>> Short;
    std::array<std::function<bool(std::uint64_t)>, 4> Script;
    std::uint64_t SampleCount = 0;
    std::vector<TPinState> States;
};
