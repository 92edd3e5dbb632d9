// Opens the port the settings name and hands out the line interface the programming thread drives:
// the serial port itself (a real device, or the virtual target behind the name "sim"), a USB cable's
// FTDI chip in bit-bang mode (the names "ftdi..."; "sim-ftdi" puts the virtual target behind a fake
// of such a cable), wrapped in a trace recorder when the settings ask for one. In front of the
// serial port sits the wait that lets inputs settle, as long as the port's driver needs.
#pragma once
#include "link/tty_driver.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class T_QCCom32;
class TFtdiDriver;
class TFtdiPort;
class TLineInterface;
class TLineTrace;
class TSettleLines;
class TVirtualTarget;
struct TSettings;

// The virtual chip behind a fake FTDI cable: the whole ftdi port without hardware.
constexpr const char *VirtualFtdiPortName = "sim-ftdi";
// The virtual chip behind a simulated PL2303 cable, whose inputs show a change only a while later.
constexpr const char *VirtualLatePortName = "sim-pl2303";

enum class TOpenResult { Ok, PortError, FileError };

// "cannot open serial port DEVICE: REASON", with the way into the group dialout for EACCES.
std::string PortOpenError(const std::string &device, int reason);

class TPortSession {
public:
    TPortSession(T_QCCom32 &port, const TSettings &settings);
    ~TPortSession();
    TPortSession(const TPortSession &) = delete;
    TPortSession &operator=(const TPortSession &) = delete;

    // simImage: where the virtual chip keeps its memory (used for the name "sim"; empty: nowhere).
    // On failure, error says what could not be opened and why: PortError also for a virtual chip's
    // image another run holds. Opening again applies changed settings and keeps the virtual chip and
    // the trace recorder while the settings still name them.
    TOpenResult Open(const std::string &simImage, std::string &error);

    // Writes out what the session keeps in files (the trace, the virtual chip's image) and says what
    // could not be written; empty when everything was kept.
    std::string Flush();

    TLineInterface &Lines();
    // Reads and discards what the port has received.
    void Drain();
    TVirtualTarget *Virtual() { return Target.get(); }
    TFtdiPort *Ftdi() { return FtdiPort.get(); }
    // Why the port stopped working during use, once per loss (Flush includes it when not taken).
    std::string TakeLostReason();
    // Where the drivers of "ftdi..." names come from; the real libftdi unless a test says otherwise.
    void SetFtdiDrivers(std::function<std::unique_ptr<TFtdiDriver>()> factory) { FtdiDrivers = std::move(factory); }

    // The driver behind the serial port, looked up at every Open; its Name is empty for the virtual
    // chip and the ftdi port.
    const TTtyDriver &Driver() const { return Tty; }
    // The settle the driver needs, and the one waited before each input read (the settings'
    // PortSettle first, never below the clock delay).
    double DriverSettle() const { return TtySettle; }
    // How much later than usual a report of a driver that reports inputs late can come: its
    // endpoint's polling interval, 1 ms at least; 0 for a driver that asks the chip at every read.
    double ReportIntervalMs() const;
    double SettleMs() const;
    // The settle wait in front of the serial port; null while the ftdi port serves.
    TSettleLines *Settle();
    // Asked while a long settle is waited, so that a stop request ends it (TSettleLines::SetStopCheck).
    void SetStopCheck(std::function<bool()> stop);

    // Why this cable cannot serve the wiring the settings give, with the way out: an input the driver
    // never reports on MISO, or TXD in use on a cable that only imitates a break (on a ch341-uart cable
    // the first call after Open times a break for that). Empty when it can. Operations are not
    // started then; the port itself still serves the terminal.
    std::string WiringProblem();
    // Times a break on and off on TXD: a cable that imitates the break with a slow character takes a
    // fifth of a second.
    double MeasureBreak();
    std::optional<double> BreakMs() const { return BreakTime; }
    bool BreakImitated() const;
    // What the port did that explains an operation finding no chip: the requests the driver refused
    // on each output line, and a MISO that never changed on a driver that reports inputs late.
    std::vector<std::string> PortNotes() const;
    // "CTS (MISO) never changed: the driver may never report this input", on a driver that reports
    // inputs late when MISO read the same since the settle wait's stats were reset; else empty.
    std::string SilentInputNote() const;
    // What one line request costs on this port, from a few that change nothing (RTS set to the level
    // it has); 0 when the port is not open.
    double MeasureRequestMs();
    // Where the lines have got to, in ms: a cable's FTDI chip's waveform on its own sample clock,
    // else the steady clock (the serial port's requests take effect as they are made).
    double LineTimeMs() const;
    // Where the driver behind a device name is found: sysfs under /sys unless a test says
    // otherwise. A test's lookup is asked for every port but the ftdi port, "sim" included.
    void SetDriverLookup(std::function<TTtyDriver(const std::string &device)> lookup) { DriverLookup = std::move(lookup); }

private:
    TOpenResult OpenTarget(const std::string &simImage, std::string &error);
    TOpenResult OpenTrace(std::string &error);
    void AttachFtdi(const std::string &name);
    void DropTarget();
    void DropFtdi();
    void LookUpDriver(bool lateCable);
    TLineInterface &Traced();

    T_QCCom32 &Port;
    const TSettings &Settings;
    std::unique_ptr<TVirtualTarget> Target;
    std::unique_ptr<TFtdiPort> FtdiPort;
    std::unique_ptr<TSettleLines> SettledPort;
    std::unique_ptr<TLineTrace> Trace;
    std::string TargetImage;
    std::string TracePath;
    TLineInterface *TraceInner = nullptr;
    std::string FtdiName;
    std::function<std::unique_ptr<TFtdiDriver>()> FtdiDrivers;
    bool LossReported = false;
    TTtyDriver Tty;
    double TtySettle = 0;
    std::optional<double> BreakTime;
    std::function<TTtyDriver(const std::string &)> DriverLookup;
};
