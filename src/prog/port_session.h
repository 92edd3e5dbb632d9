// Opens the port the settings name through the row of the port kinds that takes the name, and hands
// out the line interface the programming thread drives: the serial port itself, or the lines the
// cable brings (a USB cable's FTDI chip in bit-bang mode), wrapped in a trace recorder when the
// settings ask for one. In front of the serial port sits the wait that lets inputs settle, as long
// as the port's driver needs.
#pragma once
#include "link/port_kind.h"
#include "link/tty_driver.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class T_QCCom32;
class TLineTrace;
class TSettleLines;

class TPortSession {
public:
    // kinds: the table of port kinds, which outlives the session.
    TPortSession(T_QCCom32 &port, const TSettings &settings, const TPortKinds &kinds);
    ~TPortSession();
    TPortSession(const TPortSession &) = delete;
    TPortSession &operator=(const TPortSession &) = delete;

    // simImage: where a virtual chip keeps its memory unless the name says (empty: nowhere). On
    // failure, error says what could not be opened and why: PortError also for a virtual chip's
    // image another run holds. Opening again applies changed settings and keeps the cable (with its
    // virtual chip) and the trace recorder while the settings still name them.
    TOpenResult Open(const std::string &simImage, std::string &error);

    // Writes out what the session keeps in files (the trace, the virtual chip's image) and says what
    // could not be written; empty when everything was kept.
    std::string Flush();

    TLineInterface &Lines();
    // Reads and discards what the port has received.
    void Drain();
    TVirtualTarget *Virtual() { return Cable ? Cable->Virtual() : nullptr; }
    // What a diagnostic shows about the cable (an FTDI chip's sample rate), one line each.
    std::vector<std::string> CableDescription() const;
    // Whether what the cable keeps can be written at the end of the run; empty when it can.
    std::string PersistProblem() const;
    // The name the port goes by in a report: the settings' name without what a row reads from it,
    // or the device a number opens.
    std::string PortLabel() const;
    // The name under which a row of the port kinds drives the cable behind this serial port directly
    // (its FTDI chip); empty when none does.
    std::string DirectPortName() const;
    // Why the port stopped working during use, once per loss (Flush includes it when not taken).
    std::string TakeLostReason();
    // Where the rows that drive an FTDI chip get their driver; the real libftdi unless a test says
    // otherwise.
    void SetFtdiDrivers(std::function<std::unique_ptr<TFtdiDriver>()> factory) { FtdiDrivers = std::move(factory); }

    // The driver behind the serial port, looked up at every Open; its Name is empty for the virtual
    // chip and a cable's chip driven directly.
    const TTtyDriver &Driver() const { return Tty; }
    // The settle the driver needs, and the one waited before each input read (the settings'
    // PortSettle first, never below the clock delay).
    double DriverSettle() const { return TtySettle; }
    // How much later than usual a report of a driver that reports inputs late can come: its
    // endpoint's polling interval, 1 ms at least; 0 for a driver that asks the chip at every read.
    double ReportIntervalMs() const;
    double SettleMs() const;
    // The settle wait in front of the serial port; null while a cable's own lines serve.
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
    // otherwise. A test's lookup is asked for every port whose row does not know its driver, "sim"
    // included.
    void SetDriverLookup(std::function<TTtyDriver(const std::string &device)> lookup) { DriverLookup = std::move(lookup); }

private:
    TOpenResult OpenCable(const TCableRequest &request, std::string &error);
    TOpenResult OpenTrace(std::string &error);
    void DropCable();
    void LookUpDriver();
    TLineInterface &Traced();

    T_QCCom32 &Port;
    const TSettings &Settings;
    const TPortKinds &Kinds;
    const TPortKind *CableKind = nullptr;
    std::unique_ptr<TCable> Cable;
    std::string Label;
    std::unique_ptr<TSettleLines> SettledPort;
    std::unique_ptr<TLineTrace> Trace;
    std::string TracePath;
    TLineInterface *TraceInner = nullptr;
    std::function<std::unique_ptr<TFtdiDriver>()> FtdiDrivers;
    bool LossReported = false;
    TTtyDriver Tty;
    double TtySettle = 0;
    std::optional<double> BreakTime;
    std::function<TTtyDriver(const std::string &)> DriverLookup;
};
