#include "ftdi/ftdi_port.h"

#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr std::uint8_t PinTxd = 0x01;
constexpr std::uint8_t PinRts = 0x04;
constexpr std::uint8_t PinDtr = 0x10;
constexpr std::uint8_t OutputPins = PinTxd | PinRts | PinDtr;
// CTS D3, DSR D5, DCD D6, RI D7, in the order of the link's input lines.
constexpr std::uint8_t InputPins[4] = {0x08, 0x20, 0x40, 0x80};
// The same lines in libftdi's modem status (UART mode).
constexpr std::uint16_t StatusBits[4] = {0x10, 0x20, 0x80, 0x40};

// Longer waits are made on the host after sending what is queued; shorter ones are idle samples,
// which keep the chip's own timing exact and need no round trip.
constexpr double IdleWaitLimit = 0.020;
// A transfer this large goes out even though nothing waits for it.
constexpr std::size_t MaxWaveform = 32 * 1024;
// The chip sends what it has sampled after at most this many milliseconds, so a short transfer
// comes back at once instead of after the default 16 ms.
constexpr int LatencyTimerMs = 1;

// The chip clocks bit-bang samples at 16 times its baud rate (AN232R-01), and libftdi programs the
// chip with four times the rate it is given while a bit-bang mode is on: a rate r gives 64 r samples
// per second. The baud-rate generator divides 3 MHz by n (up to 16383); taking n among the divisors
// of 750000 keeps libftdi's argument (750000 / n) whole, so nothing is rounded to a faster rate.
constexpr int SampleClock = 48000000;
constexpr int LibFtdiClock = SampleClock / 64;
constexpr int SlowestDivisor = 15625; // the largest divisor of 750000 the generator takes

} // namespace

bool IsFtdiPortName(const std::string &name)
{
    return name == "ftdi" || name.rfind("ftdi:", 0) == 0 || name.rfind("ftdi@", 0) == 0;
}

TFtdiName ParseFtdiName(const std::string &name)
{
    TFtdiName parsed;
    std::string rest = name.substr(std::min<std::size_t>(4, name.size()));
    const std::size_t n = rest.size();
    if (n >= 2 && rest[n - 2] == '@') {
        const int letter = std::toupper(static_cast<unsigned char>(rest[n - 1]));
        if (letter >= 'A' && letter <= 'D') {
            parsed.Interface = letter - 'A' + 1;
            rest.resize(n - 2);
        }
    }
    if (!rest.empty() && rest[0] == ':')
        parsed.Description = rest.substr(1);
    return parsed;
}

std::string FtdiPortString(const TFtdiDeviceInfo &device)
{
    char text[64];
    if (device.Serial.empty())
        std::snprintf(text, sizeof text, "ftdi:d:%03d/%03d", device.Bus, device.Address);
    else
        std::snprintf(text, sizeof text, "ftdi:s:0x%04x:0x%04x:", device.Vendor, device.Product);
    return text + device.Serial;
}

// A multi-port chip's terminal devices are its interfaces A, B, ... in the order of their numbers.
std::string FtdiPortStringFor(const TTtyDriver &tty)
{
    if (tty.Kind != TTtyKind::Usb || tty.Driver != "ftdi_sio")
        return {};
    TFtdiDeviceInfo device;
    device.Vendor = tty.Vendor;
    device.Product = tty.Product;
    device.Bus = tty.Bus;
    device.Address = tty.Address;
    device.Serial = tty.Serial;
    std::string name = FtdiPortString(device);
    if (tty.Interfaces > 1 && tty.Interface >= 0 && tty.Interface < 4)
        name += std::string("@") + static_cast<char>('A' + tty.Interface);
    return name;
}

// "ftdi:s:0x0403:0x6001:A50285BI  FTDI FT232R USB UART (vendor 0x0403, product 0x6001, serial
// A50285BI, bus 001 device 005)"; a dual or quad chip adds the interface suffixes it takes.
std::string FtdiDeviceLine(const TFtdiDeviceInfo &device)
{
    char ids[48];
    std::snprintf(ids, sizeof ids, "vendor 0x%04x, product 0x%04x", device.Vendor, device.Product);
    char place[32];
    std::snprintf(place, sizeof place, "bus %03d device %03d", device.Bus, device.Address);
    std::string line = FtdiPortString(device) + "  ";
    if (!device.Manufacturer.empty())
        line += device.Manufacturer + " ";
    if (!device.Description.empty())
        line += device.Description + " ";
    line += "(" + std::string(ids) + (device.Serial.empty() ? "" : ", serial " + device.Serial) + ", " + place + ")";
    if (device.Product == 0x6010)
        line += ", interfaces @A @B";
    else if (device.Product == 0x6011)
        line += ", interfaces @A @B @C @D";
    if (!device.Problem.empty())
        line += ": " + device.Problem;
    return line;
}

TBitBangRate BitBangRateFor(double clockDelayMs)
{
    const double period = std::max(1.0 / DefaultSampleRate, clockDelayMs / 2000.0);
    auto divisor = static_cast<int>(std::min<double>(std::ceil(period * SampleClock - 1e-6), SlowestDivisor));
    while (LibFtdiClock % divisor != 0)
        ++divisor;
    return {SampleClock / divisor, LibFtdiClock / divisor};
}

// ---- the ISP link's view: every call claims bit-bang mode ----

class TFtdiPort::TBitBangLines final : public TLineInterface {
public:
    explicit TBitBangLines(TFtdiPort &port) : Port(port) {}

    void SetBreak(bool level) override { Set(Port.BreakOn, level, PinTxd); }
    void SetRts(bool level) override { Set(Port.RtsOn, level, PinRts); }
    void SetDtr(bool level) override { Set(Port.DtrOn, level, PinDtr); }
    bool GetCTS() override { return Read(0); }
    bool GetDSR() override { return Read(1); }
    bool GetRLSD() override { return Read(2); }
    bool GetRI() override { return Read(3); }
    void QueueSample(int line) override
    {
        std::lock_guard guard(Port.Lock);
        Port.EnterBitBang();
        Port.Queue(line);
    }
    bool TakeSample() override
    {
        std::lock_guard guard(Port.Lock);
        return Port.Take();
    }
    void Wait(double ms, TDelay delay) override
    {
        std::unique_lock lock(Port.Lock);
        Port.BitBangWait(lock, ms, delay);
    }
    void Flush() override { Port.Flush(); }
    bool PortLost() const override { return Port.PortLost(); }

private:
    void Set(bool &line, bool level, std::uint8_t pin)
    {
        std::lock_guard guard(Port.Lock);
        line = level;
        if (Port.EnterBitBang())
            Port.Drive(pin);
    }
    bool Read(int line)
    {
        std::lock_guard guard(Port.Lock);
        Port.EnterBitBang();
        Port.Queue(line);
        return Port.Take();
    }

    TFtdiPort &Port;
};

TFtdiPort::TFtdiPort(std::unique_ptr<TFtdiDriver> driver, const std::string &name, const TSettings &settings)
    : Chip(std::move(driver)), Name(name), Target(ParseFtdiName(name)), Cfg(settings),
      LinkLines(std::make_unique<TBitBangLines>(*this))
{
}

TFtdiPort::~TFtdiPort() { Close(); }

TLineInterface &TFtdiPort::BitBang() { return *LinkLines; }

// ---- open and close ----

namespace {

std::string OpenMessage(const TFtdiOpenResult &result, const TFtdiName &target)
{
    const std::string which = target.Description.empty() ? "" : " matches " + target.Description;
    switch (result.Status) {
    case TFtdiOpenStatus::Ok: return {};
    case TFtdiOpenStatus::NotFound:
        return "no FTDI device" + (which.empty() ? std::string(" found") : which) +
               " (korvel-cli list-ftdi shows the devices present)";
    case TFtdiOpenStatus::AccessDenied:
        return "permission denied on the USB device " + result.Detail +
               ": install the udev rule that comes with Korvel (60-korvel-ftdi.rules) and plug the cable in again";
    case TFtdiOpenStatus::Busy:
        // libftdi's own words blame the kernel's driver, which the port has already sent away.
        return "the FTDI device is in use by another program" +
               (target.Interface ? std::string(", or has no interface @") + static_cast<char>('A' + target.Interface - 1)
                                 : std::string());
    case TFtdiOpenStatus::NoBitBang:
        return "the FTDI chip (" + result.Detail +
               ") has no synchronous bit-bang mode: use its serial device (/dev/ttyUSBn) instead";
    case TFtdiOpenStatus::Failed: break;
    }
    return result.Detail;
}

} // namespace

bool TFtdiPort::Open(const TLineParams &params)
{
    Close();
    std::lock_guard guard(Lock);
    Lost = false;
    LostText.clear();
    OpenProblem.clear();
    const TFtdiOpenResult result = Chip->Open(Target.Description, Target.Interface);
    if (result.Status != TFtdiOpenStatus::Ok) {
        OpenProblem = OpenMessage(result, Target);
        return false;
    }
    Params = params;
    BreakOn = false; // as a terminal device opens: the stored break is not applied
    const bool ready = Control(Chip->SetLatencyTimer(LatencyTimerMs)) && Control(Chip->SetFlowControlOff()) &&
                       Control(Chip->SetBaudRate(params.Baud)) && Control(Chip->SetLineProperty(params, BreakOn)) &&
                       Control(Chip->SetModemControl(DtrOn, RtsOn));
    if (!ready) {
        OpenProblem = Chip->Error();
        Chip->Close();
        return false;
    }
    Mode = TMode::Uart;
    LatchKnown = false;
    Received.clear();
    Requests.clear();
    Answers.clear();
    return true;
}

// The kernel's driver gets the chip back as a UART, with the lines where they are.
void TFtdiPort::Close()
{
    std::lock_guard guard(Lock);
    if (Mode == TMode::Closed)
        return;
    EnterUart();
    if (Mode != TMode::Closed)
        Chip->Close();
    Mode = TMode::Closed;
}

bool TFtdiPort::Opened() const
{
    std::lock_guard guard(Lock);
    return Mode != TMode::Closed;
}

std::string TFtdiPort::OpenError() const
{
    std::lock_guard guard(Lock);
    return OpenProblem;
}

bool TFtdiPort::PortLost() const
{
    std::lock_guard guard(Lock);
    return Lost;
}

std::string TFtdiPort::LostReason() const
{
    std::lock_guard guard(Lock);
    return LostText;
}

TFtdiStats TFtdiPort::Stats() const
{
    std::lock_guard guard(Lock);
    return Counters;
}

std::int64_t TFtdiPort::WaveformMicroseconds() const
{
    std::lock_guard guard(Lock);
    const double seconds =
        Counters.StreamSeconds + static_cast<double>(Waveform.size()) * Period + Counters.HostWaitSeconds;
    return static_cast<std::int64_t>(seconds * 1e6);
}

bool TFtdiPort::Control(bool ok)
{
    ++Counters.ControlRequests;
    if (!ok)
        Lose();
    return ok;
}

// A failed request means the chip is gone (unplugged) or wedged: the port closes, every later call
// does nothing, and the reason waits for whoever reports the operation's end.
void TFtdiPort::Lose()
{
    if (Mode == TMode::Closed)
        return;
    Lost = true;
    LostText = "the FTDI device " + Name + " stopped answering (unplugged?): " + Chip->Error();
    Chip->Close();
    Mode = TMode::Closed;
    Waveform.clear();
    SampleOpen = false;
}

void TFtdiPort::SetLineParams(const TLineParams &params)
{
    std::lock_guard guard(Lock);
    Params = params;
    if (Mode == TMode::Uart)
        Control(Chip->SetBaudRate(params.Baud)) && Control(Chip->SetLineProperty(params, BreakOn));
}

// ---- modes ----

std::uint8_t TFtdiPort::Pins() const
{
    std::uint8_t pins = 0xFF;
    if (BreakOn)
        pins &= ~PinTxd;
    if (RtsOn)
        pins &= ~PinRts;
    if (DtrOn)
        pins &= ~PinDtr;
    return pins;
}

// Switching the mode on drives the outputs from the latch at once, so only the pins whose latch
// already holds their level are outputs at first; the others stay inputs, held high by the chip's
// pull-ups (a line that is off), until one byte has put their level into the latch.
bool TFtdiPort::EnterBitBang()
{
    if (Mode == TMode::BitBang)
        return true;
    if (Mode == TMode::Closed)
        return false;
    PollUart(); // what the UART has received stays for the terminal
    if (Mode == TMode::Closed)
        return false;
    const auto ready = static_cast<std::uint8_t>(LatchKnown ? OutputPins & ~(Latch ^ Pins()) : 0);
    const TBitBangRate rate = BitBangRateFor(Cfg.ClockDelay);
    if (!Control(Chip->SetBitMode(ready, true)) || !Control(Chip->PurgeReceived()) ||
        !Control(Chip->SetBaudRate(rate.LibFtdiBaud)))
        return false;
    Period = 1.0 / rate.SampleRate;
    Mode = TMode::BitBang;
    Waveform.clear();
    Sent = 0;
    SampleOpen = false;
    Slack = 0;
    if (ready == OutputPins)
        return true;
    Waveform.push_back(Pins());
    Send();
    return Mode == TMode::BitBang && Control(Chip->SetBitMode(OutputPins, true));
}

// Modem control and break are set while bit-bang mode still drives the pins, so the UART takes over
// at the same levels.
bool TFtdiPort::EnterUart()
{
    if (Mode == TMode::Uart)
        return true;
    if (Mode == TMode::Closed)
        return false;
    if (!Waveform.empty() || !Requests.empty())
        Send();
    if (Mode == TMode::Closed)
        return false;
    Latch = Pins() & OutputPins;
    LatchKnown = true;
    if (!Control(Chip->SetModemControl(DtrOn, RtsOn)) || !Control(Chip->SetLineProperty(Params, BreakOn)) ||
        !Control(Chip->SetBitMode(0, false)) || !Control(Chip->SetBaudRate(Params.Baud)))
        return false;
    Mode = TMode::Uart;
    return true;
}

// ---- the waveform ----

// Changes the link makes back to back, with no wait between them, leave in one sample; a wait (even
// of no length), a sample of the inputs or a second setting of the same line starts the next one.
void TFtdiPort::Drive(std::uint8_t pin)
{
    if (SampleOpen && !Waveform.empty() && !(SetInSample & pin)) {
        Waveform.back() = Pins();
        SetInSample |= pin;
        return;
    }
    Waveform.push_back(Pins());
    SampleOpen = true;
    SetInSample = pin;
    Slack = Period;
    if (Waveform.size() >= MaxWaveform)
        Send();
}

// The chip reads the pins before it drives each byte, so the state the queued bytes leave behind is
// read with the next byte.
void TFtdiPort::Queue(int line)
{
    const std::uint8_t pin = line >= 0 && line <= 3 ? InputPins[line] : 0;
    Requests.push_back({Sent + Waveform.size(), pin});
    SampleOpen = false;
}

bool TFtdiPort::Take()
{
    if (Answers.empty() && !Requests.empty())
        Send();
    if (Answers.empty()) {
        // Lost or closed before the answer came: the line reads off, as on a closed port.
        if (!Requests.empty())
            Requests.pop_front();
        return false;
    }
    const bool on = Answers.front();
    Answers.pop_front();
    ++Counters.Samples;
    return on;
}

void TFtdiPort::Idle(double seconds)
{
    const auto samples = static_cast<std::size_t>(std::ceil(seconds / Period - 1e-9));
    Waveform.insert(Waveform.end(), samples, Pins());
    Slack = static_cast<double>(samples) * Period - seconds;
    if (Waveform.size() >= MaxWaveform)
        Send();
}

void TFtdiPort::Send()
{
    if (Mode != TMode::BitBang) {
        Waveform.clear();
        return;
    }
    if (!Requests.empty() && Requests.back().ReadIndex >= Sent + Waveform.size())
        Waveform.push_back(Pins());
    SampleOpen = false;
    if (Waveform.empty())
        return;
    std::vector<std::uint8_t> in(Waveform.size());
    ++Counters.Transfers;
    Counters.BytesOut += Waveform.size();
    Counters.StreamSeconds += static_cast<double>(Waveform.size()) * Period;
    const bool ok = Chip->Transfer(Waveform.data(), in.data(), Waveform.size());
    if (ok)
        Counters.BytesIn += in.size();
    const std::uint64_t end = Sent + Waveform.size();
    while (!Requests.empty() && Requests.front().ReadIndex < end) {
        const TRequest request = Requests.front();
        Requests.pop_front();
        Answers.push_back(ok && request.Pin && !(in[request.ReadIndex - Sent] & request.Pin));
    }
    Sent = end;
    Latch = Waveform.back() & OutputPins;
    Waveform.clear();
    if (!ok)
        Lose();
}

void TFtdiPort::BitBangWait(std::unique_lock<std::mutex> &lock, double ms, TDelay delay)
{
    SampleOpen = false;
    const double seconds = std::max(ms, 0.0) / 1000.0;
    if (Mode == TMode::BitBang && seconds <= Slack) {
        Slack -= seconds;
        return;
    }
    if (Mode == TMode::BitBang && seconds - Slack <= IdleWaitLimit) {
        Idle(seconds - Slack);
        return;
    }
    // One more sample proves, when it comes back, that the last change has reached the pins.
    if (!Waveform.empty())
        Waveform.push_back(Pins());
    Send();
    Slack = 0;
    if (ms > 0)
        Counters.HostWaitSeconds += seconds;
    lock.unlock(); // the terminal may use the port meanwhile
    delay(ms);
}

void TFtdiPort::Flush()
{
    std::lock_guard guard(Lock);
    Send();
}

// ---- the serial port component's calls ----

void TFtdiPort::ApplyInUart(std::uint8_t pin)
{
    if (pin == PinTxd)
        Control(Chip->SetLineProperty(Params, BreakOn));
    else
        Control(Chip->SetModemControl(DtrOn, RtsOn));
}

void TFtdiPort::SetBreak(bool level)
{
    std::lock_guard guard(Lock);
    BreakOn = level;
    if (Mode == TMode::Uart)
        ApplyInUart(PinTxd);
    else if (Mode == TMode::BitBang)
        Drive(PinTxd);
}

void TFtdiPort::SetRts(bool level)
{
    std::lock_guard guard(Lock);
    RtsOn = level;
    if (Mode == TMode::Uart)
        ApplyInUart(PinRts);
    else if (Mode == TMode::BitBang)
        Drive(PinRts);
}

void TFtdiPort::SetDtr(bool level)
{
    std::lock_guard guard(Lock);
    DtrOn = level;
    if (Mode == TMode::Uart)
        ApplyInUart(PinDtr);
    else if (Mode == TMode::BitBang)
        Drive(PinDtr);
}

bool TFtdiPort::Input(int line)
{
    QueueSample(line);
    return TakeSample();
}

void TFtdiPort::QueueSample(int line)
{
    std::lock_guard guard(Lock);
    if (Mode == TMode::BitBang) {
        Queue(line);
        return;
    }
    std::optional<std::uint16_t> status;
    if (Mode == TMode::Uart && line >= 0 && line <= 3) {
        ++Counters.ControlRequests;
        status = Chip->ModemStatus();
        if (!status)
            Lose();
    }
    Answers.push_back(status && (*status & StatusBits[line]));
}

bool TFtdiPort::TakeSample()
{
    std::lock_guard guard(Lock);
    return Take();
}

void TFtdiPort::Wait(double ms, TDelay delay)
{
    std::unique_lock lock(Lock);
    if (Mode == TMode::BitBang) {
        BitBangWait(lock, ms, delay);
        return;
    }
    lock.unlock();
    delay(ms);
}

// ---- data path ----

void TFtdiPort::PollUart()
{
    std::uint8_t chunk[4096];
    const int got = Chip->Read(chunk, sizeof chunk);
    if (got < 0)
        Lose();
    else
        Received.append(reinterpret_cast<const char *>(chunk), static_cast<std::size_t>(got));
}

bool TFtdiPort::Write(const std::string &text)
{
    std::lock_guard guard(Lock);
    if (!EnterUart())
        return false;
    if (Chip->Write(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()))
        return true;
    Lose();
    return false;
}

std::string TFtdiPort::ReadQueued()
{
    std::lock_guard guard(Lock);
    if (EnterUart())
        PollUart();
    return std::exchange(Received, {});
}

int TFtdiPort::InCount()
{
    std::lock_guard guard(Lock);
    if (EnterUart())
        PollUart();
    return static_cast<int>(Received.size());
}
