#include "sim/ftdi_fake.h"
#include "link/virtual_serial.h"

#include "sim/virtual_chip.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t TransmitBuffer = 256;
constexpr std::size_t ReceiveBuffer = 128;
// What USB adds: a bulk round trip at full speed, and one control request.
constexpr double RoundTripSeconds = 0.001;
constexpr double RequestSeconds = 0.000125;
// The chip's packets carry this many samples besides their two status bytes; in bit-bang mode it
// sends what it has at least this often (its latency timer).
constexpr std::size_t PacketPayload = 62;
constexpr double BitBangLatency = 0.001;

TFtdiDriver::TClock::duration FakeSpan(double seconds)
{
    return std::chrono::duration_cast<TFtdiDriver::TClock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

TFtdiFake::TFtdiFake(TVirtualChip &chip, const TSettings &settings)
    : Pins(chip, settings), Chip(chip), Made(TClock::now()), LastCall(Made)
{
    Chip.SetClock([this] { return Made + FakeSpan(Elapsed); });
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
    return Made + FakeSpan(Elapsed);
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

// On the host's time a wait takes its time; on the fake's own clock it moves the clock.
void TFtdiFake::Sleep(double seconds)
{
    Slept.push_back(seconds);
    if (HostTime)
        TFtdiDriver::Sleep(seconds);
    Advance(HostTime ? 0 : std::max(seconds, 0.0));
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
    while (Unsent > 0 && !Pins.BitBang() && NextSent <= Elapsed) {
        --Unsent;
        NextSent += CharacterSeconds();
    }
    while (!Incoming.empty() && Incoming.front().first <= Elapsed) {
        Arrive(Incoming.front().second);
        Incoming.pop_front();
    }
    if (Peer)
        for (const char c : Peer->ReadQueued())
            Arrive(c);
}

void TFtdiFake::Arrive(char c)
{
    if (!Opened || Pins.BitBang())
        ++Lost;
    else if (Reading)
        HostBuffer += c;
    else if (ChipBuffer.size() < ReceiveBuffer)
        ChipBuffer += c;
    else
        ++Lost;
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
    Pins.Drive(Elapsed);
    return OpenAnswer;
}

void TFtdiFake::Close()
{
    Opened = false;
    Reading = false;
}

void TFtdiFake::LeaveInBitBang(std::uint8_t outputs, std::uint8_t latch)
{
    ContextBitBang = true;
    Pins.LeaveInBitBang(outputs, latch, Elapsed);
}

// One sample period: the pins are read, then the byte is driven.
void TFtdiFake::Clock(std::uint8_t byte, bool drive)
{
    const double period = 1.0 / SampleRate();
    Elapsed += UsbSamplesPerSecond > 0 ? std::max(period, 1.0 / UsbSamplesPerSecond) : period;
    SampleSeconds += period;
    ReadQueue.push_back(Pins.Sample(byte, drive, Elapsed));
}

bool TFtdiFake::SetBitMode(std::uint8_t outputs, bool syncBitBang)
{
    if (!Request())
        return false;
    ContextBitBang = syncBitBang;
    Pins.SetBitMode(outputs, syncBitBang, Elapsed);
    if (!syncBitBang)
        NextSent = Elapsed;
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
    Pins.SetBreak(breakOn, Elapsed);
    return true;
}

bool TFtdiFake::SetModemControl(bool dtr, bool rts)
{
    if (!Request())
        return false;
    Pins.SetModem(dtr, rts, Elapsed);
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
    return static_cast<std::uint16_t>(Pins.ModemStatus() | (Unsent == 0 ? FtdiStatus::TransmitterEmpty : 0));
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
    if (!Pins.BitBang()) {
        LastError = "not in bit-bang mode";
        return false;
    }
    Landed.clear();
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
    const auto start = ReadQueue.size();
    double sent = Elapsed;
    for (std::size_t i = 0; i < size; ++i) {
        if (Due(Extra, i))
            Clock(0, false);
        Clock(out[i], !Due(Dropped, i));
        const std::size_t taken = ReadQueue.size() - start;
        if (taken % PacketPayload == 0 || Elapsed - sent >= BitBangLatency || i + 1 == size) {
            Landed.push_back({std::min(taken, size), Made + FakeSpan(Elapsed)});
            sent = Elapsed;
        }
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
        if (Pins.BitBang()) {
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
        if (Peer)
            Peer->Write(std::string(1, static_cast<char>(data[i])));
    }
    return true;
}

int TFtdiFake::Read(std::uint8_t *data, std::size_t size)
{
    if (!Alive())
        return -1;
    CatchUp();
    if (Pins.BitBang())
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
