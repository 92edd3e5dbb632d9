#include "sim/ftdi_pins.h"

#include "ftdi/ftdi_driver.h"
#include "settings/settings.h"

namespace {

constexpr std::uint8_t OutputPins[3] = {FtdiPin::Txd, FtdiPin::Rts, FtdiPin::Dtr};
constexpr std::uint8_t InputPins[4] = {FtdiPin::Cts, FtdiPin::Dsr, FtdiPin::Dcd, FtdiPin::Ri};
constexpr std::uint16_t StatusBits[4] = {FtdiStatus::Cts, FtdiStatus::Dsr, FtdiStatus::Dcd, FtdiStatus::Ri};

} // namespace

TFtdiPins::TFtdiPins(TVirtualChip &chip, const TSettings &settings) : Adapter(chip, settings), Settings(settings) {}

std::uint8_t TFtdiPins::Outputs() const
{
    std::uint8_t pins = 0;
    for (const std::uint8_t pin : OutputPins) {
        bool high;
        if (InBitBang)
            high = (Mask & pin) ? (Latch & pin) != 0 : true; // an input floats up
        else
            high = pin == FtdiPin::Txd ? !BreakOn : pin == FtdiPin::Rts ? !RtsOn : !DtrOn;
        if (Short && Short->first == pin)
            high = Short->second;
        pins |= high ? pin : 0;
    }
    return pins;
}

void TFtdiPins::Drive(double now)
{
    const std::uint8_t pins = Outputs();
    if (!States.empty() && States.back().Pins == pins)
        return;
    States.push_back({now, pins});
    auto on = [this, pins](std::uint8_t pin) { return ((pins & pin) != 0) == Ttl; };
    Adapter.SetOutputs({on(FtdiPin::Txd), on(FtdiPin::Rts), on(FtdiPin::Dtr)});
}

std::uint8_t TFtdiPins::Read()
{
    std::uint8_t pins = Outputs() | FtdiPin::Rxd;
    const bool chip[4] = {Adapter.GetCTS(), Adapter.GetDSR(), Adapter.GetRLSD(), Adapter.GetRI()};
    for (int line = 0; line < 4; ++line) {
        const bool on = Script[line] ? Script[line](SampleCount) : chip[line];
        pins |= on == Ttl ? InputPins[line] : 0;
    }
    return pins;
}

void TFtdiPins::SetBitMode(std::uint8_t outputs, bool bitBang, double now)
{
    InBitBang = bitBang;
    Mask = bitBang ? outputs : 0;
    Drive(now);
}

void TFtdiPins::SetBreak(bool on, double now)
{
    if (!InBitBang || ModemInBitBang == TModemReading::Kept)
        BreakOn = on;
    Drive(now);
}

void TFtdiPins::SetModem(bool dtr, bool rts, double now)
{
    if (!InBitBang || ModemInBitBang == TModemReading::Kept) {
        DtrOn = dtr;
        RtsOn = rts;
    }
    Drive(now);
}

void TFtdiPins::LeaveInBitBang(std::uint8_t outputs, std::uint8_t latch, double now)
{
    Latch = latch;
    SetBitMode(outputs, true, now);
}

std::uint8_t TFtdiPins::Sample(std::uint8_t byte, bool drive, double now)
{
    const bool readFirst = Echo == TEchoReading::OneBehind;
    const std::uint8_t before = readFirst ? Read() : 0;
    if (drive) {
        Latch = LatchWhileInput == TLatchReading::Taken ? byte
                                                        : static_cast<std::uint8_t>((Latch & ~Mask) | (byte & Mask));
        Drive(now);
    }
    const std::uint8_t read = readFirst ? before : Read();
    ++SampleCount;
    return read;
}

std::uint16_t TFtdiPins::ModemStatus()
{
    const std::uint8_t pins = Read();
    std::uint16_t status = 0;
    for (int line = 0; line < 4; ++line)
        status |= (pins & InputPins[line]) ? 0 : StatusBits[line];
    return status;
}

// The chip is held in reset while its RESET pin is high (an inverter in the line turns that round).
bool TFtdiPins::TargetRuns() const
{
    const int line = Settings.Reset_Line;
    if (line < 0 || line > 2)
        return true;
    const bool on = ((Outputs() & OutputPins[line]) != 0) == Ttl;
    return on == Settings.RESETInvert;
}
