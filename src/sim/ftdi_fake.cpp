#include "sim/ftdi_fake.h"

#include "sim/virtual_chip.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t Outputs[3] = {FtdiPin::Txd, FtdiPin::Rts, FtdiPin::Dtr};
constexpr std::uint8_t InputPins[4] = {FtdiPin::Cts, FtdiPin::Dsr, FtdiPin::Dcd, FtdiPin::Ri};
constexpr std::uint16_t StatusBits[4] = {FtdiStatus::Cts, FtdiStatus::Dsr, FtdiStatus::Dcd, FtdiStatus::Ri};

constexpr std::size_t TransmitBuffer = 256;
constexpr std::size_t ReceiveBuffer = 128;
// What USB adds: a bulk round trip at full speed, and one control request.
constexpr double RoundTripSeconds = 0.001;
constexpr double RequestSeconds = 0.000125;

TFtdiDriver::TClock::duration Span(double seconds)
{
    return std::chrono::duration_cast<TFtdiDriver::TClock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

TFtdiFake::TFtdiFake(TVirtualChip &chip, const TSettings &settings)
    : Adapter(chip, settings), Chip(chip), Made(TClock::now()), LastCall(Made)
{
    Chip.SetClock([this] { return Made + Span(Elapsed); });
}

TFtdiFake::~TFtdiFake() { Chip.SetClock(nullptr); }

bool TFtdiFake::Alive()
{
    if (Unplugged)
        LastError = "the cable was unplugged";
    else if (!Opened)
        LastError = "the device is not open";
    return Opened && !Unplugged;
}

bool TFtdiFake::Request()
{
    if (!Alive())
        return false;
    CatchUp();
    Pass(RequestSeconds);
    return true;
}

TFtdiFake::TClock::time_point TFtdiFake::Now()
{
    CatchUp();
    return Made + Span(Elapsed);
}

void TFtdiFake::SetHostTime(bool counts)
{
    CatchUp();
    HostTime = counts;
    LastCall = TClock::now();
}

void TFtdiFake::Advance(double seconds)
{
    CatchUp();
    Pass(seconds);
}

// The time that passed on the host since the last call (a wait, a sleep) passes for the chip too.
void TFtdiFake::CatchUp()
{
    const TClock::time_point now = TClock::now();
    if (HostTime)
        Elapsed += std::chrono::duration<double>(now - LastCall).count();
    LastCall = now;
    Settle();
}

void TFtdiFake::Pass(double seconds)
{
    Elapsed += seconds;
    Settle();
}

double TFtdiFake::CharacterSeconds() const
{
    const int bits = 1 + Params.Databits + (Params.Parity == 'E' || Params.Parity == 'O' ? 1 : 0) +
                     (Params.Stopbits == 2 ? 2 : 1);
    return bits / static_cast<double>(std::max(Generator, 1));
}

// The UART sends and receives up to the present; in bit-bang mode it does neither.
void TFtdiFake::Settle()
{
    while (Unsent > 0 && !BitBang && NextSent <= Elapsed) {
        --Unsent;
        NextSent += CharacterSeconds();
    }
    while (!Incoming.empty() && Incoming.front().first <= Elapsed) {
        const char c = Incoming.front().second;
        Incoming.pop_front();
        if (!Opened || BitBang)
            ++Lost;
        else if (Reading)
            HostBuffer += c;
        else if (ChipBuffer.size() < ReceiveBuffer)
            ChipBuffer += c;
        else
            ++Lost;
    }
}

void TFtdiFake::ReceiveAt(double afterSeconds, const std::string &bytes, int baud)
{
    CatchUp();
    double at = Elapsed + afterSeconds;
    for (const char c : bytes) {
        Incoming.emplace_back(at, c);
        if (baud > 0)
            at += 10.0 / baud;
    }
    Settle();
}

TFtdiOpenResult TFtdiFake::Open(const std::string &description, int interfaceIndex)
{
    if (OpenAnswer.Status != TFtdiOpenStatus::Ok)
        return OpenAnswer;
    Opened = true;
    Unplugged = false; // plugged in again
    TransfersLeft.reset();
    AnswersLeft.reset();
    OpenedDescription = description;
    OpenedInterface = interfaceIndex;
    Reading = false;
    CatchUp();
    Drive();
    return OpenAnswer;
}

void TFtdiFake::Close()
{
    Opened = false;
    Reading = false;
}

void TFtdiFake::LeaveInBitBang(std::uint8_t outputs, std::uint8_t latch)
{
    BitBang = ContextBitBang = true;
    Mask = outputs;
    Latch = latch;
    Drive();
}

std::uint8_t TFtdiFake::OutputPins() const
{
    std::uint8_t pins = 0;
    for (const std::uint8_t pin : Outputs) {
        bool high;
        if (BitBang)
            high = (Mask & pin) ? (Latch & pin) != 0 : true; // an input floats up
        else
            high = pin == FtdiPin::Txd ? !BreakOn : pin == FtdiPin::Rts ? !RtsOn : !DtrOn;
        if (Short && Short->first == pin)
            high = Short->second;
        pins |= high ? pin : 0;
    }
    return pins;
}

void TFtdiFake::Drive()
{
    const std::uint8_t pins = OutputPins();
    if (!History.empty() && History.back().Pins == pins)
        return;
    History.push_back({Elapsed, pins});
    auto on = [this, pins](std::uint8_t pin) { return ((pins & pin) != 0) == Ttl; };
    Adapter.SetOutputs({on(FtdiPin::Txd), on(FtdiPin::Rts), on(FtdiPin::Dtr)});
}

std::uint8_t TFtdiFake::ReadPins()
{
    std::uint8_t pins = OutputPins() | FtdiPin::Rxd;
    const bool chip[4] = {Adapter.GetCTS(), Adapter.GetDSR(), Adapter.GetRLSD(), Adapter.GetRI()};
    for (int line = 0; line < 4; ++line) {
        const bool on = Script[line] ? Script[line](SampleCount) : chip[line];
        pins |= on == Ttl ? InputPins[line] : 0;
    }
    return pins;
}

// One sample period: the pins are read, then the byte is driven.
void TFtdiFake::Clock(std::uint8_t byte, bool drive)
{
    const double period = 1.0 / SampleRate();
    Elapsed += UsbSamplesPerSecond > 0 ? std::max(period, 1.0 / UsbSamplesPerSecond) : period;
    SampleSeconds += period;
    ReadQueue.push_back(ReadPins());
    ++SampleCount;
    if (!drive)
        return;
    Latch = LatchWhileInput == TLatchReading::Taken ? byte : static_cast<std::uint8_t>((Latch & ~Mask) | (byte & Mask));
    Drive();
}

bool TFtdiFake::SetBitMode(std::uint8_t outputs, bool syncBitBang)
{
    if (!Request())
        return false;
    BitBang = ContextBitBang = syncBitBang;
    Mask = syncBitBang ? outputs : 0;
    if (!syncBitBang)
        NextSent = Elapsed;
    Drive();
    return true;
}

bool TFtdiFake::SetBaudRate(int baud)
{
    if (!Request())
        return false;
    Generator = ContextBitBang ? 4 * baud : baud;
    return true;
}

bool TFtdiFake::SetLineProperty(const TLineParams &params, bool breakOn)
{
    if (!Request())
        return false;
    Params = params;
    if (!BitBang || ModemInBitBang == TModemReading::Kept)
        BreakOn = breakOn;
    Drive();
    return true;
}

bool TFtdiFake::SetModemControl(bool dtr, bool rts)
{
    if (!Request())
        return false;
    if (!BitBang || ModemInBitBang == TModemReading::Kept) {
        DtrOn = dtr;
        RtsOn = rts;
    }
    Drive();
    return true;
}

bool TFtdiFake::PurgeReceived()
{
    if (!Request())
        return false;
    ChipBuffer.clear();
    ReadQueue.clear();
    return true;
}

std::optional<std::uint16_t> TFtdiFake::ModemStatus()
{
    if (!Request())
        return std::nullopt;
    const std::uint8_t pins = ReadPins();
    std::uint16_t status = Unsent == 0 ? FtdiStatus::TransmitterEmpty : 0;
    for (int line = 0; line < 4; ++line)
        status |= (pins & InputPins[line]) ? 0 : StatusBits[line];
    return status;
}

bool TFtdiFake::Due(std::optional<TFault> &fault, std::size_t index)
{
    return fault && fault->Transfers == 0 && fault->Index == index;
}

bool TFtdiFake::Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds)
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
    AskedTimeouts.push_back(timeoutSeconds);
    CatchUp();
    if (AnswersLeft && (*AnswersLeft)-- <= 0) {
        Pass(timeoutSeconds);
        char text[64];
        std::snprintf(text, sizeof text, "no answer within %.1f s", timeoutSeconds);
        LastError = text;
        return false;
    }
    Pass(RoundTripSeconds);
    // What the UART had not sent yet leaves first, as pin data.
    for (std::size_t i = Outgoing.size() - Unsent; i < Outgoing.size(); ++i)
        Clock(static_cast<std::uint8_t>(Outgoing[i]), true);
    Unsent = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (Due(Extra, i))
            Clock(0, false);
        Clock(out[i], !Due(Dropped, i));
    }
    for (auto *fault : {&Extra, &Dropped})
        if (*fault && (*fault)->Transfers-- == 0)
            fault->reset();
    // The chip sends samples in the order it read them; any surplus waits for the next transfer.
    for (std::size_t i = 0; i < size; ++i) {
        in[i] = ReadQueue.front();
        ReadQueue.pop_front();
    }
    Settle();
    LastCall = TClock::now(); // the time spent here is the fake's, not the chip's
    return true;
}

// In bit-bang mode the chip takes what is written as pin data, as it takes a transfer's bytes.
bool TFtdiFake::Write(const std::uint8_t *data, std::size_t size)
{
    if (!Request())
        return false;
    for (std::size_t i = 0; i < size; ++i) {
        if (BitBang) {
            Clock(data[i], true);
            continue;
        }
        if (Unsent == TransmitBuffer) { // libftdi's write waits for room
            Elapsed = std::max(Elapsed, NextSent);
            Settle();
        }
        if (Unsent++ == 0)
            NextSent = Elapsed + CharacterSeconds();
        Outgoing += static_cast<char>(data[i]);
    }
    return true;
}

int TFtdiFake::Read(std::uint8_t *data, std::size_t size)
{
    if (!Alive())
        return -1;
    CatchUp();
    if (BitBang)
        return 0;
    std::string arrived = HostBuffer + ChipBuffer;
    const std::size_t count = std::min(size, arrived.size());
    std::copy_n(arrived.begin(), count, data);
    HostBuffer = arrived.substr(count);
    ChipBuffer.clear();
    return static_cast<int>(count);
}

bool TFtdiFake::StartReading()
{
    if (!Request())
        return false;
    Reading = true;
    HostBuffer += ChipBuffer;
    ChipBuffer.clear();
    return true;
}
