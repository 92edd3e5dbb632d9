#include "prog/port_session.h"

#include "ftdi/ftdi_port.h"
#include "ftdi/libftdi_driver.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/wiring.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "link/line_trace.h"
#include "sim/virtual_target.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// Later than a direct read, earlier than the pl2303 driver's settle: without the settle every
// read of MISO shows the bit before.
constexpr std::chrono::microseconds SimulatedCableLag{3000};

// A break on and off is a control transfer or two; an imitated one lasts a character at about 47 baud.
constexpr double SlowBreakMs = 100;

const char *const InputNames[] = {"CTS", "DSR", "RLSD", "RI"};

// "TXD (SCL)"
std::string TxdFunctions(const TSettings &s)
{
    const std::string names = TWiring::From(s).OutputFunctions(0);
    return names.empty() ? names : "TXD (" + names + ")";
}

TTtyDriver SimulatedPl2303()
{
    TTtyDriver tty;
    tty.Kind = TTtyKind::Usb;
    tty.Name = VirtualLatePortName;
    tty.Driver = "pl2303";
    tty.Vendor = 0x067b;
    tty.Product = 0x2303;
    tty.PollMs = 1;
    return tty;
}

} // namespace

// Every front end shows this text as it is (tooltip, message box, korvel-cli's error line), so the
// advice for the commonest failure is given here once.
std::string PortOpenError(const std::string &device, int reason)
{
    std::string error = "cannot open serial port " + device;
    if (reason != 0)
        error += ": " + std::string(std::strerror(reason));
    if (reason == EACCES)
        error += " (serial ports belong to the group dialout: sudo adduser $USER dialout, then log in again)";
    return error;
}

TPortSession::TPortSession(T_QCCom32 &port, const TSettings &settings)
    : Port(port), Settings(settings), SettledPort(std::make_unique<TSettleLines>(port, [this] { return SettleMs(); }))
{
    // A rising SCL on a line of its own leaves the settle counting from the request that did move MISO.
    SettledPort->SetMovesInputs(
        [this](int output, bool level) { return TWiring::From(Settings).MovesInputs(output, level); });
}

TPortSession::~TPortSession()
{
    Trace.reset();
    DropFtdi();
    DropTarget();
}

void TPortSession::DropTarget()
{
    if (!Target)
        return;
    DropFtdi(); // a fake cable may have the chip behind it
    Port.AttachVirtual(nullptr);
    Target.reset();
}

void TPortSession::DropFtdi()
{
    if (!FtdiPort)
        return;
    if (TraceInner == &FtdiPort->BitBang())
        Trace.reset();
    Port.AttachBackEnd(nullptr);
    FtdiPort.reset();
    FtdiName.clear();
}

// A session opened again keeps its virtual chip while it still fits the settings, so that nothing
// programmed is lost, and keeps recording into the same trace file.
TOpenResult TPortSession::Open(const std::string &simImage, std::string &error)
{
    const std::string &name = Settings.PortName;
    const bool virtualFtdi = name == VirtualFtdiPortName;
    const bool lateCable = name == VirtualLatePortName;
    const bool virtualPort = name == T_QCCom32::VirtualPortName || lateCable;
    Port.SetPort(Settings.Port);
    Port.SetPortName(lateCable ? T_QCCom32::VirtualPortName : name);
    if (virtualPort || virtualFtdi) {
        if (const TOpenResult result = OpenTarget(simImage, error); result != TOpenResult::Ok)
            return result;
        Target->Adapter().SetInputLag(lateCable ? SimulatedCableLag : std::chrono::microseconds{0});
    } else {
        DropTarget();
    }
    // The port forwards to one back end: the cable's chip is dropped before the virtual lines come.
    const bool ftdi = virtualFtdi || IsFtdiPortName(name);
    if (!ftdi)
        DropFtdi();
    Port.AttachVirtual(virtualPort ? &Target->Lines() : nullptr);
    if (ftdi)
        AttachFtdi(name);
    LookUpDriver(lateCable);
    LossReported = false;
    errno = 0;
    if (!Port.Open()) {
        if (FtdiPort)
            error = "cannot open FTDI device " + name + ": " + FtdiPort->OpenError();
        else
            error = PortOpenError(Port.DeviceName(), errno);
        return TOpenResult::PortError;
    }
    BreakTime.reset();
    return OpenTrace(error);
}

TOpenResult TPortSession::OpenTarget(const std::string &simImage, std::string &error)
{
    const bool fits = Target && TargetImage == simImage && Target->Chip().Kind() == ChipKindForDevice(Settings.Device);
    if (!fits) {
        DropTarget(); // saves the chip, so that a new one of the same image starts from it
        try {
            Target = std::make_unique<TVirtualTarget>(Settings, simImage);
            TargetImage = simImage;
        } catch (const TSimImageInUse &e) {
            error = e.what(); // held by another run, as a port can be
            return TOpenResult::PortError;
        } catch (const std::exception &e) {
            error = e.what();
            return TOpenResult::FileError;
        }
    }
    return TOpenResult::Ok;
}

void TPortSession::AttachFtdi(const std::string &name)
{
    if (FtdiPort && FtdiName == name)
        return;
    DropFtdi();
    std::unique_ptr<TFtdiDriver> driver;
    if (name == VirtualFtdiPortName)
        driver = std::make_unique<TFtdiFake>(Target->Chip(), Settings);
    else
        driver = FtdiDrivers ? FtdiDrivers() : CreateLibFtdiDriver();
    FtdiPort = std::make_unique<TFtdiPort>(std::move(driver), name, Settings);
    FtdiName = name;
    Port.AttachBackEnd(FtdiPort.get());
}

void TPortSession::LookUpDriver(bool lateCable)
{
    if (FtdiPort)
        Tty = {};
    else if (lateCable)
        Tty = SimulatedPl2303();
    else if (DriverLookup)
        Tty = DriverLookup(Port.DeviceName());
    else if (Target)
        Tty = {};
    else
        Tty = LookUpTtyDriver(Port.DeviceName());
    TtySettle = DriverSettleMs(Tty);
}

double TPortSession::ReportIntervalMs() const
{
    return TtySettle > 0 ? std::max(Tty.PollMs, 1.0) : 0;
}

double TPortSession::SettleMs() const
{
    return EffectiveSettleMs(TtySettle, Settings.PortSettle, Settings.ClockDelay);
}

TSettleLines *TPortSession::Settle()
{
    return FtdiPort ? nullptr : SettledPort.get();
}

void TPortSession::SetStopCheck(std::function<bool()> stop)
{
    SettledPort->SetStopCheck(std::move(stop));
}

// The break is timed only here, right before an operation that resets the chip anyway: timed at the
// open it would pulse a RESET wired to TXD under a running target.
std::string TPortSession::WiringProblem()
{
    if (std::string problem = UnreportedInputProblem(Tty, Settings.Miso_Line); !problem.empty())
        return problem;
    const std::string txd = TxdFunctions(Settings);
    if (txd.empty() || Tty.Driver != "ch341-uart")
        return {};
    if (!BreakTime)
        MeasureBreak();
    if (!BreakImitated())
        return {};
    char took[32];
    std::snprintf(took, sizeof took, "%.0f ms", *BreakTime);
    return txd + " cannot be held in break on this cable: " + Tty.Driver +
           " imitates a break with one slow character (a break on and off took " + took +
           "). No preset or wiring avoids TXD, since RESET, MOSI and SCL need all three outputs: use this "
           "cable for the terminal only, and for programming one whose chip has a break (FTDI, CP210x, PL2303)";
}

bool TPortSession::BreakImitated() const
{
    return BreakTime && *BreakTime > SlowBreakMs;
}

double TPortSession::MeasureBreak()
{
    using TClock = std::chrono::steady_clock;
    TLineInterface &lines = Lines();
    const TClock::time_point start = TClock::now();
    lines.SetBreak(true);
    lines.SetBreak(false);
    lines.Flush();
    BreakTime = std::chrono::duration<double, std::milli>(TClock::now() - start).count();
    return *BreakTime;
}

std::vector<std::string> TPortSession::PortNotes() const
{
    std::vector<std::string> notes = Port.LineFailures();
    if (std::string silent = SilentInputNote(); !silent.empty())
        notes.push_back(std::move(silent));
    return notes;
}

std::string TPortSession::SilentInputNote() const
{
    const int miso = Settings.Miso_Line;
    if (FtdiPort || TtySettle <= 0 || miso < 0 || miso > 3 || SettledPort->InputChanged(miso))
        return {};
    const std::string never = std::string(InputNames[miso]) + " (MISO) never changed: ";
    if (SettleMs() < TtySettle)
        return never + "the settle in use may be too short, or the driver may never report this input";
    return never + "the driver may never report this input";
}

double TPortSession::MeasureRequestMs()
{
    using TClock = std::chrono::steady_clock;
    constexpr int requests = 8;
    if (!Port.Opened())
        return 0;
    const TClock::time_point start = TClock::now();
    for (int i = 0; i < requests; ++i)
        Port.SetRts(Port.Rts());
    return std::chrono::duration<double, std::milli>(TClock::now() - start).count() / requests;
}

double TPortSession::LineTimeMs() const
{
    if (FtdiPort)
        return static_cast<double>(FtdiPort->WaveformMicroseconds()) / 1000.0;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The ISP link drives a cable's chip in bit-bang mode; the port itself serves the terminal. A
// cable's chip samples its pins in step with the waveform, so only the serial port needs a settle.
TLineInterface &TPortSession::Traced()
{
    if (FtdiPort)
        return FtdiPort->BitBang();
    return *SettledPort;
}

TOpenResult TPortSession::OpenTrace(std::string &error)
{
    if (Settings.PortTrace.empty()) {
        Trace.reset();
        return TOpenResult::Ok;
    }
    if (Trace && TracePath == Settings.PortTrace && TraceInner == &Traced())
        return TOpenResult::Ok;
    Trace.reset();
    try {
        Trace = std::make_unique<TLineTrace>(Traced(), Settings, Settings.PortTrace);
        TracePath = Settings.PortTrace;
        TraceInner = &Traced();
    } catch (const std::exception &e) {
        error = e.what();
        return TOpenResult::FileError;
    }
    // The waveform's own timing, not the moments the program queued it.
    if (TFtdiPort *ftdi = FtdiPort.get())
        Trace->SetClock([ftdi] { return ftdi->WaveformMicroseconds(); });
    return TOpenResult::Ok;
}

std::string TPortSession::TakeLostReason()
{
    if (LossReported || !Traced().PortLost())
        return {};
    LossReported = true;
    if (FtdiPort)
        return FtdiPort->LostReason();
    return "the serial port " + Port.DeviceName() + " vanished (unplugged?)";
}

std::string TPortSession::Flush()
{
    std::string problems = TakeLostReason();
    auto add = [&problems](const std::string &problem) {
        if (!problem.empty())
            problems += (problems.empty() ? "" : "; ") + problem;
    };
    if (Trace) {
        Trace->Flush();
        add(Trace->WriteError());
    }
    if (Target) {
        try {
            Target->Chip().Save();
        } catch (const std::exception &e) {
            add(e.what());
        }
    }
    return problems;
}

TLineInterface &TPortSession::Lines()
{
    if (Trace)
        return *Trace;
    return Traced();
}

void TPortSession::Drain()
{
    Port.DiscardInput();
}
