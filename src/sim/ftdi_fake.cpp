#include "sim/ftdi_fake.h"

#include "sim/virtual_chip.h"

#include <algorithm>

namespace {

constexpr std::uint8_t PinTxd = 0x01;
constexpr std::uint8_t PinRxd = 0x02;
constexpr std::uint8_t PinRts = 0x04;
constexpr std::uint8_t PinDtr = 0x10;
constexpr std::uint8_t Outputs[3] = {PinTxd, PinRts, PinDtr};
constexpr std::uint8_t InputPins[4] = {0x08, 0x20, 0x40, 0x80}; // CTS, DSR, DCD, RI
constexpr std::uint16_t StatusBits[4] = {0x10, 0x20, 0x80, 0x40};

} // namespace

TFtdiFake::TFtdiFake(TVirtualChip &chip, const TSettings &settings)
    : Adapter(chip, settings), Chip(chip), Made(TClock::now()), ChipTime(Made), LastCall(Made)
{
    Chip.SetClock([this] { return ChipTime; });
}

TFtdiFake::~TFtdiFake() { Chip.SetClock(nullptr); }

bool TFtdiFake::Alive()
{
    if (Unplugged)
        LastError = "LIBUSB_ERROR_NO_DEVICE";
    else if (!Opened)
        LastError = "USB device unavailable";
    return Opened && !Unplugged;
}

TFtdiOpenResult TFtdiFake::Open(const std::string &description, int interfaceIndex)
{
    if (OpenAnswer.Status != TFtdiOpenStatus::Ok)
        return OpenAnswer;
    Opened = true;
    Unplugged = false; // plugged in again
    TransfersLeft.reset();
    OpenedDescription = description;
    OpenedInterface = interfaceIndex;
    BitBang = false;
    Drive();
    return {};
}

void TFtdiFake::Close() { Opened = false; }

std::uint8_t TFtdiFake::OutputPins() const
{
    std::uint8_t pins = 0;
    for (const std::uint8_t pin : Outputs) {
        bool high;
        if (BitBang)
            high = (Mask & pin) ? (Latch & pin) != 0 : true; // an input floats up
        else
            high = pin == PinTxd ? !BreakOn : pin == PinRts ? !RtsOn : !DtrOn;
        pins |= high ? pin : 0;
    }
    return pins;
}

void TFtdiFake::Drive()
{
    const std::uint8_t pins = OutputPins();
    if (!History.empty() && History.back().Pins == pins)
        return;
    History.push_back({std::chrono::duration<double>(ChipTime - Made).count(), pins});
    Adapter.SetOutputs({!(pins & PinTxd), !(pins & PinRts), !(pins & PinDtr)});
}

std::uint8_t TFtdiFake::ReadPins()
{
    std::uint8_t pins = OutputPins() | PinRxd;
    const bool on[4] = {Adapter.GetCTS(), Adapter.GetDSR(), Adapter.GetRLSD(), Adapter.GetRI()};
    for (int line = 0; line < 4; ++line)
        pins |= on[line] ? 0 : InputPins[line];
    return pins;
}

// The time that passed on the host since the last call (a wait, a sleep) passes for the chip too.
void TFtdiFake::CatchUp()
{
    const TClock::time_point now = TClock::now();
    ChipTime += now - LastCall;
    LastCall = now;
}

bool TFtdiFake::SetBitMode(std::uint8_t outputs, bool syncBitBang)
{
    if (!Alive())
        return false;
    CatchUp();
    BitBang = syncBitBang;
    Mask = syncBitBang ? outputs : 0;
    Drive();
    return true;
}

bool TFtdiFake::SetBaudRate(int baud)
{
    if (!Alive())
        return false;
    (BitBang ? BitBangBaud : Baud) = baud;
    return true;
}

bool TFtdiFake::SetLineProperty(const TLineParams &params, bool breakOn)
{
    if (!Alive())
        return false;
    CatchUp();
    Params = params;
    BreakOn = breakOn;
    Drive();
    return true;
}

bool TFtdiFake::SetModemControl(bool dtr, bool rts)
{
    if (!Alive())
        return false;
    CatchUp();
    DtrOn = dtr;
    RtsOn = rts;
    Drive();
    return true;
}

bool TFtdiFake::PurgeReceived()
{
    if (!Alive())
        return false;
    Incoming.clear();
    return true;
}

std::optional<std::uint16_t> TFtdiFake::ModemStatus()
{
    if (!Alive())
        return std::nullopt;
    CatchUp();
    const std::uint8_t pins = ReadPins();
    std::uint16_t status = 0x01;
    for (int line = 0; line < 4; ++line)
        status |= (pins & InputPins[line]) ? 0 : StatusBits[line];
    return status;
}

bool TFtdiFake::Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size)
{
    if (TransfersLeft && (*TransfersLeft)-- <= 0)
        Unplugged = true;
    if (!Alive())
        return false;
    if (!BitBang) {
        LastError = "not in bit-bang mode";
        return false;
    }
    ++TransferCount;
    CatchUp();
    const auto period = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
        BitBangBaud > 0 ? 1.0 / SampleRate() : 0.0));
    for (std::size_t i = 0; i < size; ++i) {
        ChipTime += period;
        in[i] = ReadPins();
        Latch = out[i];
        Drive();
    }
    LastCall = TClock::now(); // the time spent here is the fake's, not the chip's
    return true;
}

bool TFtdiFake::Write(const std::uint8_t *data, std::size_t size)
{
    if (!Alive() || BitBang)
        return false;
    Outgoing.append(reinterpret_cast<const char *>(data), size);
    return true;
}

int TFtdiFake::Read(std::uint8_t *data, std::size_t size)
{
    if (!Alive())
        return -1;
    if (BitBang)
        return 0;
    const std::size_t count = std::min(size, Incoming.size());
    std::copy_n(Incoming.begin(), count, data);
    Incoming.erase(0, count);
    return static_cast<int>(count);
}
