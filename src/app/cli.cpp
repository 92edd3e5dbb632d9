#include "app/cli.h"

#include "app/cli_options.h"
#include "app/port_kinds.h"
#include "app/stop_signals.h"
#include "buffer/binary_file.h"
#include "buffer/chip_kind.h"
#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "buffer/unattended_load.h"
#include "link/adapter_presets.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/sck_rate.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/settle_probe.h"
#include "link/tty_driver.h"
#include "link/wiring.h"
#include "prog/cable_report.h"
#include "prog/port_session.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "prog/stop_report.h"
#include "settings/app_ini_file.h"
#include "settings/big_ini_file.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <thread>
#include <poll.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Joined(const std::vector<std::string> &parts, const char *separator)
{
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

// Difference lines as they arrive, on the programming thread.
class TCliUi : public TProgUi {
public:
    explicit TCliUi(std::ostream &out) : Out(out) {}
    // While set, each difference puts the chip's byte into `image` instead of printing a line.
    void CollectInto(std::array<std::uint8_t, BufferSize> *image) { Image = image; }
    void ClearDifferences() override {}
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override
    {
        if (Image)
            (*Image)[static_cast<std::size_t>(address)] = device;
        else
            Out << DifferenceLine(address, buffer, device) << '\n';
    }
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}

private:
    std::ostream &Out;
    std::array<std::uint8_t, BufferSize> *Image = nullptr;
};

struct TCommandPlan {
    TOperationCode Code;
    const char *Title;
    bool Idle; // put the lines at rest before the operation, as the menu commands do
};

TCommandPlan PlanOf(TCliCommand command)
{
    switch (command) {
    case TCliCommand::Detect: return {opVerifyCode, "Detect", true};
    case TCliCommand::ReadCode: return {opReadCode, "Read code memory", true};
    case TCliCommand::ReadData: return {opReadData, "Read data memory", true};
    case TCliCommand::WriteCode: return {opWriteCode, "Write code memory", true};
    case TCliCommand::WriteCodeFast: return {opWriteCodeFast, "Write code memory (fast)", true};
    case TCliCommand::WriteData: return {opWriteData, "Write data memory", true};
    case TCliCommand::VerifyCode: return {opVerifyCode, "Verify code memory", true};
    case TCliCommand::VerifyData: return {opVerifyData, "Verify data memory", true};
    case TCliCommand::Erase: return {opChipErase, "Chip erase", true};
    case TCliCommand::Reset: return {opChipReset, "Chip reset", false};
    case TCliCommand::Lock: return {opWriteLockBits, "Write lock bits", true};
    case TCliCommand::Lines:
    case TCliCommand::ListFtdi:
    case TCliCommand::Terminal: break;
    }
    return {opIdle, "Lines", false};
}

class TCli {
public:
    TCli(const TCliOptions &options, std::ostream &out, std::ostream &err)
        : Opt(options), Out(out), Err(err), Ui(out)
    {
    }
    int Run();

private:
    // Every line of the message gets the program's name.
    int Fail(int code, const std::string &message)
    {
        Say("", message);
        return code;
    }
    void Say(const char *kind, const std::string &message)
    {
        std::istringstream lines(message);
        for (std::string line; std::getline(lines, line);)
            Err << "korvel-cli: " << kind << line << '\n';
    }
    bool LoadSettings();
    void ApplyOverrides();
    bool CheckDataMemory();
    bool CheckOperationSettings();
    bool PrepareBuffer();
    bool LoadInto(const std::string &name);
    int OpenPort();
    int RunOperation();
    bool Execute(TOperationCode code, bool idle);
    bool ReadChipIntoLastProgrammed();
    void ShowProgress(TProgRunner &runner);
    int Finish(const char *title, const std::string &note);
    std::string WriteNote(const TFinishMessage &message) const;
    std::string BeyondNote(TOperationCode code) const;
    int Stopped(TOperationCode code, TStopPhase phase);
    int FinishWithoutDevice(const TFinishMessage &message);
    bool SaveRead();
    int Detect();
    int ShowLines();
    int Terminal();
    int CopyTerminal(bool send);
    bool ReportTarget(std::string &shown);
    int ListFtdiDevices();
    TCableReport Report() { return TCableReport(*Session, Settings, Out, Opt.Quiet); }
    void ForecastDuration();

    const TCliOptions &Opt;
    std::ostream &Out;
    std::ostream &Err;
    TCliUi Ui;
    std::string SettingsPath;
    std::string SimImage;
    const TPortKinds Kinds = StandardPortKinds();
    TSettings Settings;
    TMemoryBuffer Memory;
    TProgStatus Status;
    T_QCCom32 Port;
    std::unique_ptr<TPortSession> Session;
};

bool TCli::LoadSettings()
{
    // By default the tool shares the GUI's settings file, which is named after the GUI program.
    SettingsPath = Opt.SettingsFile ? *Opt.SettingsFile
                                    : SettingsFilePathFor(ProgramFile().parent_path() / "korvel").string();
    if (Opt.SettingsFile && !fs::exists(SettingsPath)) {
        Fail(ExitUsage, "settings file " + SettingsPath + " does not exist");
        return false;
    }
    try {
        TBigIniFile ini(SettingsPath);
        for (const std::string &note : ::LoadSettings(ini, Settings))
            Say("note: ", note);
    } catch (const std::exception &e) {
        Fail(ExitUsage, e.what());
        return false;
    }
    return true;
}

// Options change this run only; the settings file is never written.
void TCli::ApplyOverrides()
{
    if (Opt.Preset)
        ApplyAdapterPreset(*FindAdapterPreset(*Opt.Preset), Settings);
    if (Opt.Device)
        Settings.Device = *Opt.Device;
    if (Opt.WriteDelay)
        Settings.WriteDelay = *Opt.WriteDelay;
    if (Opt.ClockDelay)
        Settings.ClockDelay = *Opt.ClockDelay;
    if (Opt.Settle)
        Settings.PortSettle = *Opt.Settle;
    if (Opt.Crystal)
        Settings.SimCrystal = *Opt.Crystal;
    if (!Opt.Trace.empty())
        Settings.PortTrace = Opt.Trace;
    SimImage = SettingsPath + ".sim";
    if (!Opt.Port)
        return;
    // A number is a COM port; any other value is a name the rows of the port kinds read.
    const std::string &port = *Opt.Port;
    if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos) {
        Settings.Port = std::stoi(port.substr(0, 6));
        Settings.PortName.clear();
    } else {
        Settings.PortName = port;
    }
}

bool TCli::LoadInto(const std::string &name)
{
    const bool data = Opt.Command == TCliCommand::WriteData || Opt.Command == TCliCommand::VerifyData;
    const TUnattendedLoad load = LoadForUnattendedWrite(
        Memory, Settings.Device, name, data ? TLoadTarget::DataMemory : TLoadTarget::CodeMemory, Opt.Lenient);
    for (const std::string &note : load.Notes)
        Say("note: ", note);
    for (const std::string &warning : load.Warnings)
        Say("warning: ", warning);
    if (load.Refusal == TUnattendedLoad::TRefusal::Damaged)
        Fail(ExitUsage, load.Reason + "\nthe file is refused, the chip is left as it is (--lenient uses what can be "
                                      "read of it)");
    else if (!load.Ok())
        Fail(ExitUsage, load.Reason);
    return load.Ok();
}

bool TCli::PrepareBuffer()
{
    switch (Opt.Command) {
    case TCliCommand::WriteCode:
    case TCliCommand::WriteCodeFast:
    case TCliCommand::WriteData:
    case TCliCommand::VerifyCode:
    case TCliCommand::VerifyData:
        if (!LoadInto(Opt.File))
            return false;
        Memory.WholeDevice = Opt.Whole;
        // Nobody sees the buffer's 00 between the file's bytes: a chip erased first keeps FF there.
        Memory.OnlyFileBytes = !Opt.Whole;
        return true;
    case TCliCommand::Detect:
        Memory.WholeDevice = false; // an empty verify: the presence test and nothing else
        Memory.HighestAddress = -1;
        return true;
    default:
        return true;
    }
}

int TCli::OpenPort()
{
    Session = std::make_unique<TPortSession>(Port, Settings, Kinds);
    // A settle the settings file made long must not hold the first signal up.
    Session->SetStopCheck([this] { return Status.StopRequested.load() || TStopSignals::Requested(); });
    Port.SetShowErrors(false);
    if (const std::optional<int> baud = BaudRateOfIndex(Settings.Baudrate))
        Port.SetBaud(*baud);
    std::string error;
    switch (Session->Open(SimImage, error)) {
    case TOpenResult::Ok:
        error = Session->PersistProblem();
        if (error.empty())
            return ExitOk;
        break;
    case TOpenResult::PortError: return Fail(ExitPort, error);
    case TOpenResult::FileError: break;
    }
    return Fail(ExitUsage, error);
}

void TCli::ShowProgress(TProgRunner &runner)
{
    const bool terminal = isatty(STDERR_FILENO);
    int shown = -1;
    while (runner.Running()) {
        if (TStopSignals::Requested())
            runner.RequestStop();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int progress = Status.Progress;
        if (Opt.Quiet || progress == shown || !Status.Busy)
            continue;
        shown = progress;
        if (terminal)
            Err << '\r' << "[" << std::string(static_cast<std::size_t>(progress / 4), '#')
                << std::string(static_cast<std::size_t>(25 - progress / 4), ' ') << "] " << std::setw(3) << progress
                << " %" << std::flush;
        else
            Err << progress << " %\n";
    }
    if (terminal && shown >= 0)
        Err << '\n';
}

bool IsWrite(TOperationCode code)
{
    return code == opWriteCode || code == opWriteCodeFast || code == opWriteData;
}

bool IsVerify(TOperationCode code)
{
    return code == opVerifyCode || code == opVerifyData;
}

// Runs one operation to its end. The thread leaves the lines at rest, so only the first operation
// of a command puts them there before it, as the menu commands do. False when a stop signal came
// before or during it.
bool TCli::Execute(TOperationCode code, bool idle)
{
    if (TStopSignals::Requested()) {
        Status.Position = -1;
        return false;
    }
    TProgContext context{Status, Memory, Settings, Session->Lines(), Ui, [this] { Session->Drain(); }};
    if (idle) {
        TIspLink link(Session->Lines(), Settings);
        link.IdleLines();
    }
    TProgRunner runner(context);
    runner.StartOperation(code);
    ShowProgress(runner);
    runner.WaitForEnd();
    return !TStopSignals::Requested();
}

// A command-line run has no earlier write of its own to compare with, and the chip may have been
// erased or written by anything since: the chip itself says what it holds over the write range.
bool TCli::ReadChipIntoLastProgrammed()
{
    Memory.LastProgrammed = Memory.Buffer;
    Ui.CollectInto(&Memory.LastProgrammed);
    const bool ended = Execute(opVerifyCode, true);
    Ui.CollectInto(nullptr);
    const bool read = ended && Status.DeviceFound && !Status.PortLost;
    if (read)
        Memory.LastProgrammedKnownTo = Memory.WriteRangeLast(true, Settings.Device);
    return read;
}

int TCli::RunOperation()
{
    const TCommandPlan plan = PlanOf(Opt.Command);
    Status.LockBitsByte = Opt.LockBitsByte;
    // A chip that is erased before every write has nothing to compare with.
    const bool fast = Opt.Command == TCliCommand::WriteCodeFast &&
                      InstructionSetOf(Settings.Device) == TInstructionSet::ThreeByte;
    if (fast && !ReadChipIntoLastProgrammed())
        return TStopSignals::Requested() ? Stopped(opVerifyCode, TStopPhase::ChipReadBeforeFastWrite)
                                         : Finish(plan.Title, {});
    if (!Execute(plan.Code, plan.Idle && !fast))
        return Stopped(plan.Code, TStopPhase::Operation);
    const int result = Finish(plan.Title, BeyondNote(plan.Code));
    // A chip erased first has read back what the write wrote already.
    if (result != ExitOk || !Opt.Verify || !IsWrite(plan.Code) || Status.WriteVerified)
        return result;
    const TOperationCode verify = plan.Code == opWriteData ? opVerifyData : opVerifyCode;
    if (!Execute(verify, false))
        return Stopped(verify, TStopPhase::VerifyAfterWrite);
    return Finish(plan.Title, {});
}

int TCli::Stopped(TOperationCode code, TStopPhase phase)
{
    return Fail(ExitNotRun, StopReport(code, phase, Status, Memory, Settings.Device));
}

// What of the loaded file lies beyond the memory and was left out, e.g. "; 952 bytes beyond $07FF
// not written".
std::string TCli::BeyondNote(TOperationCode code) const
{
    if (!IsWrite(code) && !IsVerify(code))
        return {};
    const int last = Memory.WriteRangeLast(code != opWriteData && code != opVerifyData, Settings.Device);
    const int beyond = Memory.HighestAddress - last;
    if (beyond <= 0)
        return {};
    char note[80];
    std::snprintf(note, sizeof note, "; %d bytes beyond $%04X not %s", beyond, static_cast<unsigned>(last),
                  IsWrite(code) ? "written" : "compared");
    return note;
}

// What the port itself did wrong explains the failure better than a guess about the chip: a port
// that refused to set a line the wiring uses (a pseudo-terminal has no RTS or DTR) is a port that
// cannot serve. The three-byte chips' presence test writes a byte and reads it back, which a locked
// chip refuses; only an erase, which needs no presence test, unlocks it.
int TCli::FinishWithoutDevice(const TFinishMessage &message)
{
    if (const std::vector<std::string> refused = Port.LineFailures(); !refused.empty())
        return Fail(ExitPort, Session->PortLabel() + ": " + Joined(refused, "; "));
    const std::string notes = Joined(Session->PortNotes(), "; ");
    const bool silent = Status.Detection.Result == TPresence::NoDevice &&
                        InstructionSetOf(Settings.Device) == TInstructionSet::ThreeByte;
    if (!notes.empty())
        return Fail(ExitNoDevice, message.Text + " (" + notes + ")");
    return Fail(ExitNoDevice, message.Text + (silent ? " (a chip whose Lock Bit 1 is set fails this test too: "
                                                       "korvel-cli erase clears the lock bits)"
                                                     : ""));
}

// "; read back and verified", "; lock mode 3 (...)": what the chip said at the end of a write.
std::string TCli::WriteNote(const TFinishMessage &message) const
{
    std::string text;
    if (Status.WriteVerified)
        text = ", read back and verified";
    if (message.Show)
        text += "; " + message.Text;
    const bool fourByte = InstructionSetOf(Settings.Device) == TInstructionSet::FourByte;
    if (Status.OperationCode == opWriteLockBits && fourByte)
        text += "; the chip is in " + LockModeText(Status.Detection.LockBits);
    return text;
}

int TCli::Finish(const char *title, const std::string &note)
{
    // A port that stopped answering ends the command like one that could not be opened.
    if (Status.PortLost) {
        const std::string reason = Session->TakeLostReason();
        return Fail(ExitPort, reason.empty() ? FinishMessage(Status).Text : reason);
    }
    const TFinishMessage message = FinishMessage(Status);
    if (!Status.DeviceFound && Status.Detection.Result == TPresence::Locked)
        return Fail(ExitLocked, message.Text);
    if (!Status.DeviceFound && Status.OperationCode != opChipReset)
        return FinishWithoutDevice(message);
    if (Opt.Command == TCliCommand::ReadCode || Opt.Command == TCliCommand::ReadData) {
        if (!SaveRead())
            return ExitUsage;
    }
    const bool differences = message.ShowDifferences;
    if (Opt.Quiet && !differences && note.empty())
        return ExitOk;
    std::ostringstream elapsed;
    elapsed << std::fixed << std::setprecision(1) << Status.ElapsedSeconds.load() << " s";
    // A write that read back what it wrote says so, and what it had to write twice, in its own line.
    const bool write = IsWrite(static_cast<TOperationCode>(Status.OperationCode.load()));
    if (Opt.Command == TCliCommand::Detect)
        Out << "Found a device on this serial port (" << elapsed.str() << ")\n";
    else if (message.Show && (!write || differences))
        Out << message.Text << " (" << elapsed.str() << ")" << note << '\n';
    else
        Out << title << ": done in " << elapsed.str() << note << WriteNote(message) << '\n';
    return differences ? ExitDifferences : ExitOk;
}

bool TCli::SaveRead()
{
    const bool code = Opt.Command == TCliCommand::ReadCode;
    const int last = (code ? CodeMemorySize(Settings.Device) : DataMemorySize) - 1;
    const TFileResult result = IsHexFileName(Opt.File) ? SaveHexFile(Memory, 0, last, Opt.File)
                                                       : SaveBinaryRange(Memory, 0, last, Opt.File);
    if (!result.Ok)
        Fail(ExitUsage, result.Error);
    return result.Ok;
}

// The functions the settings give a line, e.g. " (SCL)", so a wiring check reads at a glance.
std::string FunctionsOf(int line, const TSettings &s, bool input)
{
    const TWiring wiring = TWiring::From(s);
    const std::string names = input ? wiring.InputFunctions(line) : wiring.OutputFunctions(line);
    return names.empty() ? names : " (" + names + ")";
}

int TCli::ShowLines()
{
    TCableReport report = Report();
    report.DescribePort();
    TIspLink link(Session->Lines(), Settings);
    static const char *const outputs[] = {"TXD", "RTS", "DTR"};
    TLineInterface &lines = Session->Lines();
    auto inputs = [&] {
        std::ostringstream s;
        s << "CTS" << FunctionsOf(0, Settings, true) << "=" << lines.GetCTS() << " DSR" << FunctionsOf(1, Settings, true)
          << "=" << lines.GetDSR() << " RLSD" << FunctionsOf(2, Settings, true) << "=" << lines.GetRLSD() << " RI"
          << FunctionsOf(3, Settings, true) << "=" << lines.GetRI();
        return s.str();
    };
    for (int line = 0; line < 3 && !TStopSignals::Requested(); ++line) {
        for (bool level : {true, false}) {
            if (TStopSignals::Requested())
                break;
            link.SetOutputLine(line, level);
            link.Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(Opt.Quiet ? 50 : 500));
            // A late driver may answer the first read with what it knew before: the second, a settle
            // later, is the one shown.
            inputs();
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(Session->SettleMs()));
            Out << outputs[line] << (level ? " on " : " off") << FunctionsOf(line, Settings, false) << ": " << inputs()
                << '\n'
                << std::flush;
        }
    }
    link.IdleLines();
    if (TStopSignals::Requested())
        return Stopped(opIdle, TStopPhase::Operation);
    if (lines.PortLost())
        return Fail(ExitPort, Session->TakeLostReason());
    report.ShowBreak();
    const std::string problem = Session->WiringProblem();
    if (!problem.empty() && !Opt.Quiet)
        Out << problem << '\n';
    if (problem.empty() && !Opt.Quiet)
        Out << SckText(report.MeasureSck(), ChipKindForDevice(Settings.Device)) << '\n';
    if (Session->Virtual() && !Opt.Quiet)
        Out << "The virtual chip's program runs at " << Settings.SimCrystal
            << " MHz (SimCrystal in [SerialPort], or --crystal)\n";
    // A pseudo-terminal has no modem lines to measure; a wiring the cable cannot serve reads nothing.
    if (report.Described() && problem.empty() && Session->Driver().Kind != TTtyKind::Pseudo)
        report.DescribeCost(report.MeasureInputs());
    if (lines.PortLost())
        return Fail(ExitPort, Session->TakeLostReason());
    if (report.Described())
        for (const std::string &failure : Port.LineFailures())
            Out << failure << '\n';
    return ExitOk;
}

// RESET is held while the port goes to its data mode (an FTDI cable leaves bit-bang mode, in which
// what the target sends is lost) and released only then, so the target's first words are seen on
// every kind of port. The port's own line calls act in its data mode, so the link drives them
// directly rather than through the session's bit-bang lines.
int TCli::Terminal()
{
    TIspLink link(Port, Settings);
    link.ResetActive();
    link.Flush();
    Port.DiscardInput();
    link.Wait(Settings.ResetDelay1);
    link.SclHigh();
    link.SetMosi(true);
    link.ResetInactive();
    link.Flush();
    // A UART held in break sends nothing; with RESET on TXD every character would reset the target.
    const bool send = Settings.Reset_Line != 0;
    if (send)
        Port.SetBreak(false);
    else
        Say("note: ", "RESET is wired to TXD: standard input is not sent, since every character would reset the target");
    const int result = CopyTerminal(send);
    // A virtual chip's program stops here, so what it wrote into its EEPROM is in the image the
    // session flushes next, and a failure to save it is reported.
    Port.Close();
    return result;
}

// What comes from the target goes to standard output as it comes; standard input ending only stops
// the sending.
int TCli::CopyTerminal(bool send)
{
    using TClock = std::chrono::steady_clock;
    constexpr int PollMs = 10;
    const TClock::time_point end =
        Opt.Seconds ? TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(*Opt.Seconds))
                    : TClock::time_point::max();
    std::string shown;
    while (!TStopSignals::Requested() && TClock::now() < end) {
        if (!ReportTarget(shown))
            return ExitPort;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, send ? 1 : 0, PollMs) > 0) {
            char bytes[256];
            const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (n > 0)
                Port.Write(std::string(bytes, static_cast<std::size_t>(n)));
            else if (n == 0 || errno != EINTR)
                send = false;
        }
        std::string received;
        Port.Read(received);
        if (!received.empty())
            Out << received << std::flush;
        if (!Port.Opened() || Session->Lines().PortLost())
            return Fail(ExitPort, Session->TakeLostReason());
    }
    return TStopSignals::Requested() ? Stopped(opIdle, TStopPhase::Operation) : ExitOk;
}

// Why the virtual chip runs nothing ends the command; a note (rates that differ) is said once.
bool TCli::ReportTarget(std::string &shown)
{
    if (std::string failure = Port.TargetFailure(); !failure.empty()) {
        Fail(ExitPort, failure);
        return false;
    }
    const std::string problem = Port.TargetProblem();
    if (problem != shown && !problem.empty())
        Say("note: ", problem);
    shown = problem;
    return true;
}

int TCli::Detect()
{
    TCableReport report = Report();
    report.DescribePort();
    const int result = RunOperation();
    if (result == ExitOk && !Opt.Quiet && InstructionSetOf(Settings.Device) == TInstructionSet::FourByte)
        Out << ChipAnswerText(Status.Detection) << '\n';
    if (report.Described() && Status.DeviceFound)
        for (const std::string &failure : Port.LineFailures())
            Out << failure << '\n';
    if (report.Described() && !Status.PortLost && result != ExitNotRun)
        report.DescribeCost(Session->Settle()->Stats().RequestMs());
    return result;
}

// Before an operation that takes more than a minute on this port, how long it will take, so that a
// user of a slow cable is not left guessing (an 8 KiB read on a late cable takes minutes).
void TCli::ForecastDuration()
{
    const int device = Settings.Device;
    int reads = 0, writes = 0;
    switch (Opt.Command) {
    case TCliCommand::ReadCode: reads = CodeMemorySize(device); break;
    case TCliCommand::ReadData: reads = DataMemorySize; break;
    case TCliCommand::VerifyCode: reads = Memory.WriteRangeLast(true, device) + 1; break;
    case TCliCommand::VerifyData: reads = Memory.WriteRangeLast(false, device) + 1; break;
    case TCliCommand::WriteCodeFast: // reads the chip first, then writes what differs: at most all
    case TCliCommand::WriteCode:
    case TCliCommand::WriteData:
        writes = Memory.WriteRangeLast(Opt.Command != TCliCommand::WriteData, device) + 1;
        reads = (Opt.Verify ? writes : 0) + (Opt.Command == TCliCommand::WriteCodeFast ? writes : 0);
        break;
    default: return;
    }
    Report().Forecast(writes, reads, Opt.Command == TCliCommand::WriteCodeFast);
}

int TCli::ListFtdiDevices()
{
    const std::vector<std::string> devices = Kinds.Find("ftdi")->List();
    if (devices.empty())
        return Fail(ExitNoDevice, "no FTDI device found");
    for (const std::string &device : devices)
        Out << device << '\n';
    return ExitOk;
}

// The AT89S53 takes the data memory instructions for code memory accesses above 8 KiB, so writing
// its "data memory" would overwrite code; the GUI offers these two commands for the AT89S8252 only.
// The AT89S51 and AT89S52 have no data instructions at all, so not even a verify.
// A hand-edited settings file may name no chip, or leave MISO without an input: nothing is sent then.
bool TCli::CheckOperationSettings()
{
    if (Opt.Command == TCliCommand::Lines || Opt.Command == TCliCommand::Terminal)
        return true;
    if (const std::string problem = OperationProblem(Settings); !problem.empty()) {
        Fail(ExitUsage, problem);
        return false;
    }
    return true;
}

bool TCli::CheckDataMemory()
{
    const bool data = Opt.Command == TCliCommand::ReadData || Opt.Command == TCliCommand::WriteData ||
                      (Opt.Command == TCliCommand::VerifyData && DataRangeSize(Settings.Device) == 0);
    if (data && !HasDataMemory(Settings.Device)) {
        Fail(ExitUsage, "only the AT89S8252 (--device 8252) has a data memory to read or write");
        return false;
    }
    return true;
}

int TCli::Run()
{
    if (Opt.Command == TCliCommand::ListFtdi)
        return ListFtdiDevices();
    if (!LoadSettings())
        return ExitUsage;
    ApplyOverrides();
    if (!CheckOperationSettings() || !CheckDataMemory())
        return ExitUsage;
    if (!PrepareBuffer())
        return ExitUsage;
    if (const int opened = OpenPort(); opened != ExitOk)
        return opened;
    if (Opt.Command != TCliCommand::Lines && Opt.Command != TCliCommand::Terminal) {
        if (const std::string problem = Session->WiringProblem(); !problem.empty())
            return Fail(ExitPort, problem);
        ForecastDuration();
    }
    const int result = Opt.Command == TCliCommand::Lines      ? ShowLines()
                       : Opt.Command == TCliCommand::Terminal ? Terminal()
                       : Opt.Command == TCliCommand::Detect   ? Detect()
                                                              : RunOperation();
    if (const std::string problems = Session->Flush(); !problems.empty())
        return Fail(ExitUsage, problems);
    return result;
}

} // namespace

int RunCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    const TCliParse parse = ParseCliOptions(args);
    if (parse.Help) {
        out << CliUsage();
        return ExitOk;
    }
    if (parse.Version) {
        out << CliVersion();
        return ExitOk;
    }
    if (!parse.Error.empty()) {
        err << "korvel-cli: " << parse.Error << "\nTry 'korvel-cli --help' for more information.\n";
        return ExitUsage;
    }
    const TStopSignals stopSignals;
    return TCli(parse.Options, out, err).Run();
}
