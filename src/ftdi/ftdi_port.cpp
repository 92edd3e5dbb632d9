#include "ftdi/ftdi_port.h"

#include "link/wiring.h"
#include "settings/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr std::uint8_t OutputPins = FtdiPin::Txd | FtdiPin::Rts | FtdiPin::Dtr;
// TXD, RTS, DTR in the order of the link's output lines; CTS, DSR, DCD, RI in that of its inputs.
constexpr std::uint8_t LinePins[3] = {FtdiPin::Txd, FtdiPin::Rts, FtdiPin::Dtr};
constexpr std::uint8_t InputPins[4] = {FtdiPin::Cts, FtdiPin::Dsr, FtdiPin::Dcd, FtdiPin::Ri};
constexpr std::uint16_t StatusBits[4] = {FtdiStatus::Cts, FtdiStatus::Dsr, FtdiStatus::Dcd, FtdiStatus::Ri};
constexpr const char *OutputNames[3] = {"TXD", "RTS", "DTR"};
constexpr const char *InputNames[4] = {"CTS", "DSR", "DCD", "RI"};

// Longer waits are made on the host after sending what is queued; shorter ones are idle samples,
// which keep the chip's own timing exact and need no round trip.
constexpr double IdleWaitLimit = 0.020;
// A transfer this large goes out even though nothing waits for it: about a second of samples, so
// that what each transfer costs besides its samples (the USB frame, a completion noted late) adds
// little to a write.
constexpr std::size_t MaxWaveform = 128 * 1024;
// In bit-bang mode the chip sends what it has sampled after at most this many milliseconds, so a
// short transfer comes back at once; in UART mode a longer timer fills its packets, so that the
// reads kept pending on the host last between two polls of the terminal.
constexpr int BitBangLatencyMs = 1;
constexpr int UartLatencyMs = 16;
// How far the measured rate may stray from the one asked for before the port acts on it.
constexpr double RateTolerance = 0.10;
// The chip's transmit buffer, for the longest wait until the UART has sent what it was given.
constexpr int TransmitBuffer = 256;
// libftdi takes rates up to a quarter of the FT232R's 3 MBd generator in bit-bang mode.
constexpr int FastestLibFtdiBaud = 750000;
// A transfer may take this much longer than its samples before it counts as unanswered.
constexpr double TransferSlack = 1.5;
constexpr double TransferMargin = 0.5;
// The slowest chip the documents allow makes a 64th of the samples asked for.
constexpr int SlowestReading = 64;

const char *const OutOfStep = "the FTDI cable's samples came back out of step";

} // namespace

std::string FtdiRateLine(const TFtdiRate &rate)
{
    char text[160];
    std::snprintf(text, sizeof text, "FTDI chip %s: %.0f samples/s measured, %d asked for (libftdi baud %d)",
                  rate.Chip.c_str(), rate.Measured, rate.Asked, rate.LibFtdiBaud);
    return rate.Warning.empty() ? text : text + ("\nFTDI chip " + rate.Chip + ": " + rate.Warning);
}

// ---- the ISP link's view: every call claims bit-bang mode, with the levels of the link ----

class TFtdiPort::TBitBangLines final : public TLineInterface {
public:
    explicit TBitBangLines(TFtdiPort &port) : Port(port) {}

    void SetBreak(bool level) override { Set(0, level); }
    void SetRts(bool level) override { Set(1, level); }
    void SetDtr(bool level) override { Set(2, level); }
    bool GetCTS() override { return Read(0); }
    bool GetDSR() override { return Read(1); }
    bool GetRLSD() override { return Read(2); }
    bool GetRI() override { return Read(3); }
    void QueueSample(int line) override
    {
        std::lock_guard guard(Port.Lock);
        if (Port.EnterBitBang())
            Port.Queue(line, Port.Target.Ttl);
    }
    bool TakeSample() override
    {
        std::lock_guard guard(Port.Lock);
        return Port.Take();
    }
    void Wait(double ms, TDelay) override
    {
        std::unique_lock lock(Port.Lock);
        Port.BitBangWait(lock, ms);
    }
    void Flush() override { Port.Flush(); }
    bool PortLost() const override { return Port.PortLost(); }

private:
    // An asserted line is a low pin behind a transceiver, a high one on a TTL cable.
    void Set(int line, bool level)
    {
        std::lock_guard guard(Port.Lock);
        Port.SetPin(LinePins[line], level == Port.Target.Ttl);
        if (Port.EnterBitBang())
            Port.Drive(LinePins[line]);
    }
    bool Read(int line)
    {
        std::lock_guard guard(Port.Lock);
        if (!Port.EnterBitBang())
            return false;
        Port.Queue(line, Port.Target.Ttl);
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
    case TFtdiOpenStatus::TtyBusy: return "busy: " + result.Detail + " is open in another program";
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
    // A cable plugged in again has lost its latch; the same one keeps it across a close.
    if (result.Bus != Device.Bus || result.Address != Device.Address)
        LatchKnown = 0;
    Device = result;
    Params = params;
    OpenProblem = Setup();
    if (OpenProblem.empty())
        return true;
    Chip->StopReading();
    Chip->Close();
    Mode = TMode::Closed;
    Lost = false;
    LostText.clear();
    return false;
}

// The chip may still be in bit-bang mode (a process killed, a port lost), so the mode is reset before
// anything else. The lines go to rest at once: the UART's registers then hold the levels every
// switch from and to bit-bang mode is made at.
std::string TFtdiPort::Setup()
{
    if (std::string problem = WiringProblem(Device); !problem.empty())
        return problem;
    Mode = TMode::Uart;
    Levels = RestLevels();
    const bool ready = Control(Chip->SetBitMode(0, false)) && Control(Chip->SetLatencyTimer(UartLatencyMs)) &&
                       Control(Chip->SetFlowControlOff()) && Control(Chip->SetBaudRate(Params.Baud)) &&
                       SendUart(Levels, OutputPins);
    Written = ParamsPending = false;
    Received.clear();
    Requests.clear();
    Answers.clear();
    Measured = {};
    if (ready && Measure() && EnterUart())
        return {};
    return LostText;
}

// A line the wiring needs must exist on the chip, and a line its EEPROM inverts in UART mode would
// change level at every switch (whether the inversion holds in bit-bang mode is not documented).
std::string TFtdiPort::WiringProblem(const TFtdiOpenResult &chip) const
{
    const TWiring wiring = TWiring::From(Cfg);
    const std::pair<TWire, const char *> outputs[] = {{wiring.Scl, "SCL"}, {wiring.Mosi, "MOSI"}, {wiring.Reset, "RESET"}};
    std::vector<std::pair<std::uint8_t, std::string>> used;
    for (const auto &[wire, function] : outputs)
        if (wire.IsOutput())
            used.emplace_back(LinePins[wire.Line],
                              std::string(OutputNames[wire.Line]) + " pin, which the settings wire to " + function);
    if (const TWire miso = wiring.Miso; miso.IsInput())
        used.emplace_back(InputPins[miso.Line], std::string(InputNames[miso.Line]) + " pin, which the settings wire to MISO");
    for (const auto &[pin, what] : used)
        if (!(chip.Pins & pin))
            return "the " + chip.Chip + " has no " + what + ": choose another line in the parameters";
    for (const auto &[pin, what] : used)
        if (chip.Inverted & pin)
            return "the " + chip.Chip + "'s EEPROM inverts the " + what +
                   ": clear the inversion in the EEPROM (ftdi_eeprom) or use another cable";
    return {};
}

void TFtdiPort::Close()
{
    std::lock_guard guard(Lock);
    if (Mode == TMode::Closed)
        return;
    EnterUart();
    if (Mode != TMode::Closed) {
        Chip->StopReading();
        Chip->Close();
    }
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

TFtdiRate TFtdiPort::Rate() const
{
    std::lock_guard guard(Lock);
    return Measured;
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
void TFtdiPort::Lose(const std::string &why)
{
    if (Mode == TMode::Closed)
        return;
    std::string reason = Chip->Error();
    if (reason.empty())
        reason = "the cable did not answer";
    Lost = true;
    LostText = why.empty() ? "the FTDI device " + Name + " stopped answering: " + reason : why;
    Chip->StopReading();
    Chip->Close();
    Mode = TMode::Closed;
    Waveform.clear();
    SampleOpen = false;
    LatchKnown = 0;
}

void TFtdiPort::SetLineParams(const TLineParams &params)
{
    std::lock_guard guard(Lock);
    Params = params;
    if (Mode == TMode::Uart)
        Control(Chip->SetBaudRate(params.Baud)) && SendUart(Levels, FtdiPin::Txd);
    else
        ParamsPending = Mode == TMode::BitBang;
}

// ---- levels ----

std::uint8_t TFtdiPort::Pins() const
{
    return static_cast<std::uint8_t>(~OutputPins | Levels);
}

void TFtdiPort::SetPin(std::uint8_t pin, bool high)
{
    Levels = static_cast<std::uint8_t>(high ? Levels | pin : Levels & ~pin);
}

bool TFtdiPort::LinkLevel(int line) const
{
    return ((Levels & LinePins[line]) != 0) == Target.Ttl;
}

// Where the link's IdleLines leaves the lines: SCL high, MOSI high, RESET inactive, others off.
std::uint8_t TFtdiPort::RestLevels() const
{
    std::uint8_t levels = Target.Ttl ? 0 : OutputPins;
    auto set = [&](const TWire &wire, bool pinLevel) {
        const bool level = wire.LineLevel(pinLevel);
        if (wire.IsOutput())
            levels = static_cast<std::uint8_t>(level == Target.Ttl ? levels | LinePins[wire.Line]
                                                                   : levels & ~LinePins[wire.Line]);
    };
    const TWiring wiring = TWiring::From(Cfg);
    set(wiring.Scl, true);
    set(wiring.Mosi, true);
    set(wiring.Reset, false);
    return levels;
}

// With RESET inactive the target runs its program and may send something at any moment; at rest
// the UART can take the lines over at the levels its registers hold, however the chip treats what
// it is told in bit-bang mode.
bool TFtdiPort::TargetRunsAtRest() const
{
    const TWire reset = TWiring::From(Cfg).Reset;
    return reset.IsOutput() && LinkLevel(reset.Line) == reset.LineLevel(false) && Levels == RestLevels();
}

// One request for each register the pins belong to: modem control for RTS and DTR, the line
// property (with its break) for TXD.
bool TFtdiPort::SendUart(std::uint8_t levels, std::uint8_t pins)
{
    constexpr std::uint8_t modem = FtdiPin::Rts | FtdiPin::Dtr;
    if ((pins & modem) && !Control(Chip->SetModemControl(!(levels & FtdiPin::Dtr), !(levels & FtdiPin::Rts))))
        return false;
    if ((pins & FtdiPin::Txd) && !Control(Chip->SetLineProperty(Params, !(levels & FtdiPin::Txd))))
        return false;
    const std::uint8_t set = ((pins & modem) ? modem : 0) | (pins & FtdiPin::Txd);
    UartLevels = static_cast<std::uint8_t>((UartLevels & ~set) | (levels & set));
    return true;
}

bool TFtdiPort::ApplyUart(std::uint8_t levels)
{
    return SendUart(levels, (levels ^ UartLevels) & OutputPins);
}

// ---- the sample rate ----

// The lines at rest for this many samples, with the times their reads came back; the echo is
// checked as in any transfer.
std::optional<std::vector<TSampleArrival>> TFtdiPort::TimedSamples(std::size_t samples, int slowestRate)
{
    std::vector<std::uint8_t> out(samples, Pins()), in(samples);
    const double timeout = static_cast<double>(samples) / slowestRate * TransferSlack + TransferMargin;
    const auto start = Chip->Now();
    ++Counters.Transfers;
    if (!Chip->Transfer(out.data(), in.data(), samples, timeout)) {
        Lose();
        return std::nullopt;
    }
    if (!EchoMatches(out, in)) {
        Lose(OutOfStep);
        return std::nullopt;
    }
    Latch = static_cast<std::uint8_t>((Latch & ~Mask) | (out.back() & Mask));
    LatchKnown |= Mask;
    std::vector<TSampleArrival> arrivals;
    for (const TFtdiArrival &arrival : Chip->Arrivals())
        arrivals.push_back({arrival.Samples, std::chrono::duration<double>(arrival.At - start).count()});
    return arrivals;
}

// The documents disagree on the rate a baud value gives (by factors of 4 to 64, and the dual and H
// chips have their own rules), so the chip is timed. A slower chip is asked for the value that gives
// the wanted rate on it and timed again; a faster one would make every wait too short and lose
// bytes without a word, so it is refused. Every wait is then built from the rate measured.
bool TFtdiPort::Measure()
{
    const TBitBangRate wanted = BitBangRateFor(Cfg.ClockDelay);
    int baud = wanted.LibFtdiBaud;
    if (!SwitchToBitBang(baud))
        return false;
    const double asked = wanted.SampleRate;
    auto period = [&](double expected, double enoughAbove) -> std::optional<double> {
        const int slowest = std::max(1, static_cast<int>(asked * baud / wanted.LibFtdiBaud) / SlowestReading);
        const TMeasuredPeriod m =
            MeasureSamplePeriod([&](std::size_t n) { return TimedSamples(n, slowest); }, expected, enoughAbove);
        if (m.Result == TMeasuredPeriod::TResult::Measured)
            return m.Seconds;
        if (m.Result == TMeasuredPeriod::TResult::Unsteady)
            Lose("the sample rate of the FTDI chip (" + Device.Chip + ") could not be measured: its samples came "
                 "back too unevenly (is the USB bus busy?)");
        return std::nullopt;
    };
    std::optional<double> seconds = period(0, (1 + RateTolerance) / asked);
    if (!seconds)
        return false;
    if (*seconds > (1 + RateTolerance) / asked) {
        const int first = baud;
        const double slow = *seconds;
        baud = std::clamp(static_cast<int>(std::lround(baud * asked * slow)), 1, FastestLibFtdiBaud);
        if (!Control(Chip->SetBaudRate(baud)) || !(seconds = period(slow * first / baud, 0)))
            return false;
        // Not what was asked for either: the chip pauses rather than clocks slowly (a USB bus that
        // cannot keep up), and a higher rate would only shorten the samples between the pauses.
        if (std::abs(*seconds * asked - 1) > RateTolerance) {
            baud = first;
            seconds = slow;
            if (!Control(Chip->SetBaudRate(baud)))
                return false;
        }
    }
    Measured = {Device.Chip, wanted.SampleRate, 1 / *seconds, baud, Device.Warning};
    if (*seconds < (1 - RateTolerance) / asked) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the FTDI chip (%s) makes %.0f samples/s where %d were asked for: its samples are too short "
                      "for the waits the chip needs, so the cable is not used",
                      Device.Chip.c_str(), Measured.Measured, wanted.SampleRate);
        Lose(text);
        return false;
    }
    Baud = baud;
    Period = *seconds;
    return true;
}

// ---- modes ----

// The terminal's bytes still in the chip's transmit buffer would be clocked out as pin data.
bool TFtdiPort::TransmitterEmpty()
{
    if (!Written)
        return true;
    Written = false;
    const int bits = 2 + Params.Databits + (Params.Parity == 'E' || Params.Parity == 'O' ? 1 : 0) +
                     (Params.Stopbits == 2 ? 1 : 0);
    const double longest = (TransmitBuffer + 1) * bits / static_cast<double>(std::max(Params.Baud, 50)) + 0.1;
    const auto deadline = Chip->Now() + std::chrono::duration_cast<TFtdiDriver::TClock::duration>(
                                            std::chrono::duration<double>(longest));
    for (;;) {
        ++Counters.ControlRequests;
        const std::optional<std::uint16_t> status = Chip->ModemStatus();
        if (!status) {
            Lose();
            return false;
        }
        if (*status & FtdiStatus::TransmitterEmpty)
            return true;
        if (Chip->Now() >= deadline) {
            Lose("the FTDI device " + Name + " did not finish sending the terminal's text");
            return false;
        }
    }
}

// No line may change at a switch unless the link changes it: the UART drives the lines until the
// switch, and after it the outputs drive their latch while the other pins float high. So a pin is
// an output from the start when its latch is known to hold the level it is to have (or the link
// changes it now: either level is right for that moment) or when it is to be low; a pin that is to
// stay high over an unknown latch stays an input and becomes an output the first time it is driven
// low. Before the switch, a line the terminal moved and the link moves back is moved by the UART,
// so that its registers keep the levels at rest.
//
// What the UART has received stays for the terminal, however much the target sends: a short latency
// timer has the chip hand over what it holds at once, the reads cut short keep what they had
// brought, and one bounded read more takes the rest, before the switch and (from a chip that keeps
// its receive buffer across it) after.
bool TFtdiPort::SwitchToBitBang(int baud)
{
    if (!Control(Chip->SetLatencyTimer(BitBangLatencyMs)))
        return false;
    Chip->StopReading();
    PollUart();
    if (Mode == TMode::Closed || !TransmitterEmpty())
        return false;
    const std::uint8_t knownRight = LatchKnown & static_cast<std::uint8_t>(~(Latch ^ Levels));
    const std::uint8_t moved = (UartLevels ^ Levels) & OutputPins;
    if (!ApplyUart(static_cast<std::uint8_t>((UartLevels & ~(moved & knownRight)) | (Levels & moved & knownRight))))
        return false;
    const std::uint8_t changing = (UartLevels ^ Levels) & OutputPins;
    const auto mask = static_cast<std::uint8_t>((changing | knownRight | ~Levels) & OutputPins);
    if (!Control(Chip->SetBitMode(mask, true)))
        return false;
    PollUart();
    if (Mode == TMode::Closed || !Control(Chip->PurgeReceived()) || !Control(Chip->SetBaudRate(baud)))
        return false;
    Mode = TMode::BitBang;
    Mask = mask;
    Waveform.clear();
    Sent = 0;
    SampleOpen = false;
    Slack = 0;
    return true;
}

bool TFtdiPort::EnterBitBang()
{
    if (Mode == TMode::BitBang)
        return true;
    if (Mode == TMode::Closed)
        return false;
    // The clock delay changed since the rate was measured: it asks for another rate.
    if (Measured.Asked != BitBangRateFor(Cfg.ClockDelay).SampleRate)
        return Measure();
    return SwitchToBitBang(Baud);
}

// The levels reach the UART's registers while bit-bang mode still drives the pins, for a chip that
// keeps them, and once more after the switch, for a chip that drops what it was told in bit-bang
// mode; the registers hold the levels at rest nearly always, and then neither is needed.
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
    const std::uint8_t differ = (UartLevels ^ Levels) & OutputPins;
    const std::uint8_t registers = UartLevels;
    if (differ && !SendUart(Levels, differ))
        return false;
    UartLevels = registers; // as far as a chip that drops them goes
    const std::uint8_t again = ParamsPending ? differ | FtdiPin::Txd : differ;
    if (!Control(Chip->SetBitMode(0, false)) || (again && !SendUart(Levels, again)))
        return false;
    ParamsPending = false;
    if (!Control(Chip->SetBaudRate(Params.Baud)) || !Control(Chip->SetLatencyTimer(UartLatencyMs)) ||
        !Control(Chip->StartReading()))
        return false;
    Mode = TMode::Uart;
    return true;
}

// ---- the waveform ----

// Changes the link makes back to back, with no wait between them, leave in one sample; a wait (even
// of no length), a sample of the inputs or a second setting of the same line starts the next one.
void TFtdiPort::Drive(std::uint8_t pin)
{
    if (!(Mask & pin) && !(Levels & pin)) {
        // An input until now: what was queued goes out first, then the pin drives.
        Send();
        if (Mode != TMode::BitBang || !Control(Chip->SetBitMode(static_cast<std::uint8_t>(Mask | pin), true)))
            return;
        Mask |= pin;
    } else if (SampleOpen && !Waveform.empty() && !(SetInSample & pin)) {
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
void TFtdiPort::Queue(int line, bool highIsOn)
{
    const std::uint8_t pin = line >= 0 && line <= 3 ? InputPins[line] : 0;
    Requests.push_back({Sent + Waveform.size(), pin, highIsOn});
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

// Each sample shows the outputs the byte before it left (the first, the latch); an output that reads
// otherwise means a sample added or lost on the way, a shorted line or a chip that clocks otherwise.
bool TFtdiPort::EchoMatches(const std::vector<std::uint8_t> &out, const std::vector<std::uint8_t> &in) const
{
    if ((in[0] ^ Latch) & LatchKnown & Mask)
        return false;
    for (std::size_t i = 1; i < in.size(); ++i)
        if ((in[i] ^ out[i - 1]) & Mask)
            return false;
    return true;
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
    const double samples = static_cast<double>(Waveform.size());
    ++Counters.Transfers;
    Counters.StreamSeconds += samples * Period;
    const bool transferred =
        Chip->Transfer(Waveform.data(), in.data(), Waveform.size(), samples * Period * TransferSlack + TransferMargin);
    const bool ok = transferred && EchoMatches(Waveform, in);
    const std::uint64_t end = Sent + Waveform.size();
    while (!Requests.empty() && Requests.front().ReadIndex < end) {
        const TRequest request = Requests.front();
        Requests.pop_front();
        const bool high = (in[request.ReadIndex - Sent] & request.Pin) != 0;
        Answers.push_back(ok && request.Pin && high == request.HighIsOn);
    }
    Sent = end;
    Latch = static_cast<std::uint8_t>((Latch & ~Mask) | (Waveform.back() & Mask));
    LatchKnown |= Mask;
    Waveform.clear();
    if (!ok)
        Lose(transferred ? OutOfStep : "");
}

// What comes before a host wait is on the pins when it starts (the transfer came back), so the wait
// sleeps: a busy wait would only burn a core.
void TFtdiPort::BitBangWait(std::unique_lock<std::mutex> &lock, double ms)
{
    SampleOpen = false;
    const double seconds = std::max(ms, 0.0) / 1000.0;
    if (Mode == TMode::BitBang && TargetRunsAtRest()) {
        EnterUart(); // the target runs: what it sends now must not be lost
    } else if (Mode == TMode::BitBang) {
        if (seconds <= Slack) {
            Slack -= seconds;
            return;
        }
        if (seconds - Slack <= IdleWaitLimit) {
            Idle(seconds - Slack);
            return;
        }
        // One more sample proves, when it comes back, that the last change has reached the pins.
        if (!Waveform.empty())
            Waveform.push_back(Pins());
        Send();
        Slack = 0;
    }
    if (ms > 0)
        Counters.HostWaitSeconds += seconds;
    lock.unlock(); // the terminal may use the port meanwhile
    if (seconds > 0)
        Chip->Sleep(seconds);
}

void TFtdiPort::Flush()
{
    std::lock_guard guard(Lock);
    if (Mode == TMode::BitBang && TargetRunsAtRest())
        EnterUart();
    else
        Send();
}

// ---- the serial port component's calls ----

// Each call is one request in UART mode, also when the level does not change.
void TFtdiPort::SetLine(std::uint8_t pin, bool high)
{
    std::lock_guard guard(Lock);
    SetPin(pin, high);
    if (Mode == TMode::Uart)
        SendUart(Levels, pin);
    else if (Mode == TMode::BitBang)
        Drive(pin);
}

void TFtdiPort::SetBreak(bool level) { SetLine(FtdiPin::Txd, !level); }
void TFtdiPort::SetRts(bool level) { SetLine(FtdiPin::Rts, !level); }
void TFtdiPort::SetDtr(bool level) { SetLine(FtdiPin::Dtr, !level); }

bool TFtdiPort::Input(int line)
{
    QueueSample(line);
    return TakeSample();
}

void TFtdiPort::QueueSample(int line)
{
    std::lock_guard guard(Lock);
    if (Mode == TMode::BitBang) {
        Queue(line, false);
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

void TFtdiPort::Wait(double ms, TDelay)
{
    std::unique_lock lock(Lock);
    BitBangWait(lock, ms);
}

// ---- data path ----

// What the UART has received: whatever the reads brought, or without reads pending one bounded read;
// a target that keeps talking cannot hold the port here.
void TFtdiPort::PollUart()
{
    std::uint8_t chunk[4096];
    for (;;) {
        const int got = Chip->Read(chunk, sizeof chunk);
        if (got < 0) {
            Lose();
            return;
        }
        Received.append(reinterpret_cast<const char *>(chunk), static_cast<std::size_t>(got));
        if (got < static_cast<int>(sizeof chunk))
            return;
    }
}

bool TFtdiPort::Write(const std::string &text)
{
    std::lock_guard guard(Lock);
    if (!EnterUart())
        return false;
    Written = true;
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
