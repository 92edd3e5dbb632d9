// The RS232 port: its control lines serve the ISP link, its data path the terminal. Everything goes to
// one back end: its own terminal device unless another is attached (a virtual target, or a USB
// cable's own chip), which then takes both the lines and the data path.
//
// Threads: the programming thread drives the control lines and discards the input
// (DiscardInput) while the UI thread owns everything else (Read with its EndOfResponse,
// ResponseTime and hooks, Write, the line parameters); what both may touch is atomic.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/forwarding_lines.h"
#include "link/tty_port.h"

enum class TPortButtons { Ok, AbortRetry }; // Abort/Retry boxes are warnings
enum class TPortAnswer { Ok, Abort, Retry };

// What the port needs from a user interface; the core itself shows nothing. An empty member
// falls back to: Report answers Abort, ProcessMessages sleeps about a millisecond.
struct TPortHooks {
    std::function<TPortAnswer(const std::string &caption, const std::string &text, TPortButtons buttons)>
        Report;
    std::function<void()> ProcessMessages;
};

class T_QCCom32 final : public TForwardingLines {
public:
    using TNotifyEvent = std::function<void(T_QCCom32 &sender)>;

    T_QCCom32();
    ~T_QCCom32() override;
    T_QCCom32(const T_QCCom32 &) = delete;
    T_QCCom32 &operator=(const T_QCCom32 &) = delete;

    bool Open();
    void Close();
    bool Write(const std::string &text);
    void Read(std::string &text);
    // Reads what has been received and throws it away at once, whatever EndOfResponse says: it never
    // waits and never pumps events, so the programming thread may call it. Takes nothing while a
    // Read runs (that Read keeps its bytes).
    void DiscardInput();

    // Each call is one request to the driver when open, also when the level is unchanged.
    void SetBreak(bool level) override;
    void SetRts(bool level) override;
    void SetDtr(bool level) override;
    // PortLost: a device that vanished while open (a USB adapter pulled), until the next Open.
    // What the driver refused on each output line since the port opened, the first refusal of each:
    // "TXD cannot be held in break on this cable: Operation not supported". A cable that cannot
    // drive a line otherwise looks like one with no chip behind it.
    std::vector<std::string> LineFailures() const;

    int ResponseTime() const { return ResponseMs; }
    void SetResponseTime(int ms) { ResponseMs = ms; }
    const TNotifyEvent &OnTimeout() const { return TimeoutHandler; }
    void SetOnTimeout(TNotifyEvent handler) { TimeoutHandler = std::move(handler); }
    bool TimedOut() const { return TimedOutFlag; }
    bool Rts() const { return RtsLevel; }
    bool Dtr() const { return DtrLevel; }
    bool Break() const { return BreakLevel; }

    // Line parameters: a change reopens an open port.
    int Baud() const { return BaudRate; }
    void SetBaud(int baud);
    char Parity() const { return ParityChar; }
    void SetParity(char parity);
    std::uint8_t Databits() const { return DataBits; }
    void SetDatabits(std::uint8_t bits);
    std::uint8_t Stopbits() const { return StopBits; }
    void SetStopbits(std::uint8_t bits);
    int Port() const { return PortNumber; }
    void SetPort(int port);
    // A device path that overrides Port (for a port kind that opens no device, the name its row
    // gives, such as "sim"); empty means /dev/ttyS<Port-1>.
    const std::string &PortName() const { return DevicePath; }
    void SetPortName(const std::string &name);
    std::string DeviceName() const;

    int InCount();
    int OutCount();
    const std::string &EndOfResponse() const { return ResponseEnd; }
    void SetEndOfResponse(const std::string &text) { ResponseEnd = text; }
    bool ShowErrors() const { return ShowErrorBoxes; }
    void SetShowErrors(bool show) { ShowErrorBoxes = show; }
    bool Opened() const;
    bool InUse() const { return Busy; }

    // The back end behind a name it serves (the session decides which); detaching or replacing it
    // closes a port opened on it. Detached, the port opens its own terminal device.
    void AttachBackEnd(TPortBackEnd *backEnd);
    void SetHooks(TPortHooks hooks);
    // What the open port's back end knows of the target behind it (TPortBackEnd): why it runs nothing,
    // and why it cannot be read as it is, which the terminal shows; empty for a real port.
    std::string TargetFailure() const;
    std::string TargetProblem() const;

private:
    TLineInterface &Next() const override { return *Active; }
    TLineParams Params() const { return {BaudRate, ParityChar, DataBits, StopBits}; }
    void Reopen();
    TPortAnswer Report(const std::string &caption, const std::string &text, TPortButtons buttons);
    void ReadResponse(std::string &text);
    void WaitForResponse(std::string &text, const std::string &end);

    int ResponseMs = 1000;
    TNotifyEvent TimeoutHandler;
    bool TimedOutFlag = false;
    std::atomic<bool> RtsLevel{false};
    std::atomic<bool> DtrLevel{false};
    std::atomic<bool> BreakLevel{false};
    int BaudRate = 9600;
    char ParityChar = 'N';
    std::uint8_t DataBits = 8;
    std::uint8_t StopBits = 1;
    int PortNumber = 1;
    std::string DevicePath;
    std::string ResponseEnd;
    bool ShowErrorBoxes = true;
    std::atomic<bool> Busy{false};

    TTtyPort Tty{[this] { return DeviceName(); }};
    TPortBackEnd *Active = &Tty;
    TPortHooks Hooks;
};
