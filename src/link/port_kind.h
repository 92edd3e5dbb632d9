// The kinds of port a PortName (or korvel-cli's --port value) can name, as rows of one table: the
// serial ports, the FTDI cables driven directly, the simulated ones. Each row says which names it
// takes and opens the cable behind one; the programs assemble the table and hand it to the session,
// which thereby knows no back end. A new back end brings its row, its folder and its fake.
#pragma once
#include "link/tty_driver.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TFtdiDriver;
class TLineInterface;
class TPortBackEnd;
class TVirtualTarget;
struct TSettings;

enum class TOpenResult { Ok, PortError, FileError };

// "cannot open serial port DEVICE: REASON", with the way into the group dialout for EACCES.
std::string PortOpenError(const std::string &device, int reason);
// "the serial port DEVICE vanished (unplugged?)"
std::string PortLostReason(const std::string &device);

struct TCableRequest {
    std::string Name;     // as the settings or korvel-cli give it
    std::string SimImage; // where a virtual chip keeps its memory unless the name says; empty: nowhere
    const TSettings *Settings = nullptr;
    // Where the rows that drive an FTDI chip get their driver; empty: the real libftdi.
    std::function<std::unique_ptr<TFtdiDriver>()> FtdiDrivers;
};

// What a row opened: the back end the serial port component forwards to and what the session puts
// around it.
class TCable {
public:
    virtual ~TCable() = default;

    // The back end the serial port forwards to; null: the port's own terminal device.
    virtual TPortBackEnd *BackEnd() { return nullptr; }
    // The device name the serial port takes.
    virtual std::string DeviceName(const TCableRequest &request) const = 0;
    // The name a report shows: the request's, without what the row read from it.
    virtual std::string Label(const TCableRequest &request) const { return request.Name; }
    // The lines the link drives where they are not the serial port's own (a cable's chip in
    // bit-bang mode, which samples its pins in step with the waveform and so needs no settle).
    virtual TLineInterface *OwnLines() { return nullptr; }
    // The driver a settle is computed for, when the row knows it without asking the system (a
    // simulated pl2303, none for a cable's chip); nothing: a test's lookup, else sysfs for a
    // terminal device.
    virtual std::optional<TTtyDriver> KnownDriver() const { return std::nullopt; }
    virtual bool TerminalDevice() const { return false; }
    // Why the serial port did not open (errno for a terminal device).
    virtual std::string OpenError(const std::string &device, int reason) const { return PortOpenError(device, reason); }
    // Why the port stopped working under an operation.
    virtual std::string LostReason(const std::string &device) const { return PortLostReason(device); }
    // Microseconds at which the lines' latest change takes effect on a clock of the cable's own
    // (a streamed waveform); empty: the moments the calls are made.
    virtual std::function<std::int64_t()> LineClock() { return {}; }
    // Writes out what the cable keeps (a virtual chip's memory) and says what could not be written.
    virtual std::string Persist() { return {}; }
    // Whether what Persist writes can be written where it goes, before a run that writes it only at
    // its end; empty when it can.
    virtual std::string PersistProblem() const { return {}; }
    // Lines a diagnostic shows about the cable (an FTDI chip's measured sample rate).
    virtual std::vector<std::string> Describe() const { return {}; }
    // Whether this cable serves the request as it is, keeping what it holds (a virtual chip's memory).
    virtual bool Serves(const TCableRequest &request) const = 0;
    // The virtual target behind the cable, for tests that look at it; null for a real one.
    virtual TVirtualTarget *Virtual() { return nullptr; }
};

struct TCableOpening {
    std::unique_ptr<TCable> Cable;
    TOpenResult Result = TOpenResult::Ok;
    std::string Error;
};

class TPortKind {
public:
    virtual ~TPortKind() = default;
    // The name or prefix, as the port tooltip and korvel-cli's help show it: "sim[:IMAGE]".
    virtual std::string Name() const = 0;
    virtual bool Matches(const std::string &name) const = 0;
    virtual TCableOpening Open(const TCableRequest &request) const = 0;
    // The ports of this kind found on the system, one line each, and the name that opens each first.
    virtual std::vector<std::string> List() const { return {}; }
    // What a name of this kind opens, for the port tooltip: "the virtual chip (sim)"; empty: the
    // device itself.
    virtual std::string Describe(const std::string &) const { return {}; }
    // The name under which this kind drives the cable behind a terminal device directly; empty when
    // it does not serve that cable.
    virtual std::string DirectName(const TTtyDriver &) const { return {}; }
};

class TPortKinds {
public:
    // Rows are asked in the order added; the last one should take any name.
    void Add(std::unique_ptr<TPortKind> kind) { Kinds.push_back(std::move(kind)); }
    const TPortKind *Find(const std::string &name) const;
    const std::vector<std::unique_ptr<TPortKind>> &Rows() const { return Kinds; }

private:
    std::vector<std::unique_ptr<TPortKind>> Kinds;
};
