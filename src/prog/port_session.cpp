#include "prog/port_session.h"

#include "link/line_trace.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/wiring.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

namespace {

// A break on and off is a control transfer or two; an imitated one lasts a character at about 47 baud.
constexpr double SlowBreakMs = 100;

const char *const InputNames[] = {"CTS", "DSR", "RLSD", "RI"};

// "TXD (SCL)"
std::string TxdFunctions(const TSettings &s)
{
    const std::string names = TWiring::From(s).OutputFunctions(0);
    return names.empty() ? names : "TXD (" + names + ")";
}

} // namespace

TPortSession::TPortSession(T_QCCom32 &port, const TSettings &settings, const TPortKinds &kinds)
    : Port(port), Settings(settings), Kinds(kinds),
      SettledPort(std::make_unique<TSettleLines>(port, [this] { return SettleMs(); }))
{
    // A rising SCL on a line of its own leaves the settle counting from the request that did move MISO.
    SettledPort->SetMovesInputs(
        [this](int output, bool level) { return TWiring::From(Settings).MovesInputs(output, level); });
}

TPortSession::~TPortSession()
{
    Trace.reset();
    DropCable();
}

// The port forwards to the cable's back end until it is dropped; a trace on the cable's own lines
// goes with it.
void TPortSession::DropCable()
{
    if (!Cable)
        return;
    if (TraceInner == Cable->OwnLines())
        Trace.reset();
    Port.AttachBackEnd(nullptr);
    Cable.reset();
    CableKind = nullptr;
}

// A session opened again keeps its cable while it still serves the settings, so that nothing a
// virtual chip holds is lost, and keeps recording into the same trace file.
TOpenResult TPortSession::Open(const std::string &simImage, std::string &error)
{
    const TCableRequest request{Settings.PortName, simImage, &Settings, FtdiDrivers};
    if (const TOpenResult result = OpenCable(request, error); result != TOpenResult::Ok)
        return result;
    Port.AttachBackEnd(Cable->BackEnd());
    Port.SetPort(Settings.Port);
    Port.SetPortName(Cable->DeviceName(request));
    Label = Cable->Label(request);
    LookUpDriver();
    LossReported = false;
    errno = 0;
    if (!Port.Open()) {
        error = Cable->OpenError(Port.DeviceName(), errno);
        return TOpenResult::PortError;
    }
    BreakTime.reset();
    return OpenTrace(error);
}

TOpenResult TPortSession::OpenCable(const TCableRequest &request, std::string &error)
{
    const TPortKind *kind = Kinds.Find(request.Name);
    if (Cable && kind == CableKind && Cable->Serves(request))
        return TOpenResult::Ok;
    DropCable(); // saves a virtual chip, so that a new one of the same image starts from it
    if (!kind) {
        error = PortOpenError(request.Name, ENODEV);
        return TOpenResult::PortError;
    }
    TCableOpening opening = kind->Open(request);
    if (!opening.Cable) {
        error = opening.Error;
        return opening.Result;
    }
    Cable = std::move(opening.Cable);
    CableKind = kind;
    return TOpenResult::Ok;
}

void TPortSession::LookUpDriver()
{
    if (const std::optional<TTtyDriver> known = Cable->KnownDriver())
        Tty = *known;
    else if (DriverLookup)
        Tty = DriverLookup(Port.DeviceName());
    else if (Cable->TerminalDevice())
        Tty = LookUpTtyDriver(Port.DeviceName());
    else
        Tty = {};
    TtySettle = DriverSettleMs(Tty);
}

std::vector<std::string> TPortSession::CableDescription() const
{
    return Cable ? Cable->Describe() : std::vector<std::string>{};
}

std::string TPortSession::PersistProblem() const
{
    return Cable ? Cable->PersistProblem() : std::string();
}

std::string TPortSession::DirectPortName() const
{
    for (const std::unique_ptr<TPortKind> &kind : Kinds.Rows())
        if (std::string name = kind->DirectName(Tty); !name.empty())
            return name;
    return {};
}

std::string TPortSession::PortLabel() const
{
    return Label.empty() ? Port.DeviceName() : Label;
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
    return Cable && Cable->OwnLines() ? nullptr : SettledPort.get();
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
    if ((Cable && Cable->OwnLines()) || TtySettle <= 0 || miso < 0 || miso > 3 || SettledPort->InputChanged(miso))
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
    if (const auto clock = Cable ? Cable->LineClock() : nullptr)
        return static_cast<double>(clock()) / 1000.0;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The ISP link drives a cable's own lines where it brings them (a chip in bit-bang mode, which
// samples its pins in step with the waveform); only the serial port needs a settle.
TLineInterface &TPortSession::Traced()
{
    if (TLineInterface *own = Cable ? Cable->OwnLines() : nullptr)
        return *own;
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
    if (auto clock = Cable ? Cable->LineClock() : nullptr)
        Trace->SetClock(std::move(clock));
    return TOpenResult::Ok;
}

std::string TPortSession::TakeLostReason()
{
    if (LossReported || !Traced().PortLost())
        return {};
    LossReported = true;
    return Cable ? Cable->LostReason(Port.DeviceName()) : PortLostReason(Port.DeviceName());
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
    if (Cable)
        add(Cable->Persist());
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
