#include "link/qc_com32.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

const char *const WarningCaption = "Warning";
const char *const MessageCaption = "Korvel";

TPortHooks WithDefaults(TPortHooks hooks)
{
    if (!hooks.Report)
        hooks.Report = [](const std::string &, const std::string &, TPortButtons) {
            return TPortAnswer::Abort;
        };
    if (!hooks.ProcessMessages)
        hooks.ProcessMessages = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    return hooks;
}

// Clears the in-use mark that a read has taken however it ends, also when a hook throws.
class TInUseGuard {
public:
    explicit TInUseGuard(std::atomic<bool> &flag) : Flag(flag) {}
    ~TInUseGuard() { Flag = false; }
    TInUseGuard(const TInUseGuard &) = delete;
    TInUseGuard &operator=(const TInUseGuard &) = delete;

private:
    std::atomic<bool> &Flag;
};

} // namespace

T_QCCom32::T_QCCom32() : Hooks(WithDefaults({})) {}

T_QCCom32::~T_QCCom32() { Close(); }

void T_QCCom32::SetHooks(TPortHooks hooks) { Hooks = WithDefaults(std::move(hooks)); }

TPortAnswer T_QCCom32::Report(const std::string &caption, const std::string &text, TPortButtons buttons)
{
    return Hooks.Report(caption, text, buttons);
}

std::string T_QCCom32::DeviceName() const
{
    if (!DevicePath.empty())
        return DevicePath;
    return "/dev/ttyS" + std::to_string(PortNumber - 1);
}

void T_QCCom32::AttachBackEnd(TPortBackEnd *backEnd)
{
    TPortBackEnd *next = backEnd ? backEnd : &Tty;
    if (next != Active)
        Close();
    Active = next;
}

bool T_QCCom32::Opened() const
{
    return Active->Opened();
}

// ---- open and close ----

bool T_QCCom32::Open()
{
    Close();
    while (!Active->Open(Params())) {
        if (!ShowErrorBoxes)
            return false;
        const std::string text = "Error opening COM" + std::to_string(PortNumber) + ": ";
        if (Report(WarningCaption, text, TPortButtons::AbortRetry) != TPortAnswer::Retry)
            return false;
    }
    // The stored break level is deliberately not applied: TXD stays as the driver opened it. A back
    // end that keeps its state keeps the levels its lines last had, which the ISP link set without
    // this component.
    if (!Active->KeepsState()) {
        SetDtr(DtrLevel);
        SetRts(RtsLevel);
    }
    return Opened();
}

void T_QCCom32::Close()
{
    Active->Close();
}

// ---- line parameters ----

void T_QCCom32::Reopen()
{
    if (!Active->Opened())
        return;
    if (!Active->ParamsWhileOpen()) {
        Open();
        return;
    }
    Active->SetLineParams(Params());
    if (!Active->KeepsState()) {
        SetDtr(DtrLevel);
        SetRts(RtsLevel);
    }
}

std::string T_QCCom32::TargetFailure() const
{
    return Opened() ? Active->TargetFailure() : std::string();
}

std::string T_QCCom32::TargetProblem() const
{
    return Opened() ? Active->TargetProblem() : std::string();
}

void T_QCCom32::SetBaud(int baud)
{
    if (baud == BaudRate)
        return;
    BaudRate = baud;
    Reopen();
}

void T_QCCom32::SetParity(char parity)
{
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(parity)));
    if (upper == ParityChar)
        return;
    ParityChar = upper;
    Reopen();
}

void T_QCCom32::SetDatabits(std::uint8_t bits)
{
    if (bits == DataBits)
        return;
    DataBits = bits;
    Reopen();
}

void T_QCCom32::SetStopbits(std::uint8_t bits)
{
    if (bits == StopBits)
        return;
    StopBits = bits;
    Reopen();
}

void T_QCCom32::SetPort(int port)
{
    if (port == PortNumber)
        return;
    PortNumber = port;
    Reopen();
}

void T_QCCom32::SetPortName(const std::string &name)
{
    if (name == DevicePath)
        return;
    DevicePath = name;
    Reopen();
}

// ---- control lines: one request each, nothing buffered ----

std::vector<std::string> T_QCCom32::LineFailures() const
{
    return Active->LineFailures();
}

void T_QCCom32::SetRts(bool level)
{
    RtsLevel = level;
    Active->SetRts(level);
}

void T_QCCom32::SetDtr(bool level)
{
    DtrLevel = level;
    Active->SetDtr(level);
}

void T_QCCom32::SetBreak(bool level)
{
    BreakLevel = level;
    Active->SetBreak(level);
}

// ---- queues and data path ----

int T_QCCom32::InCount() { return Active->InCount(); }
int T_QCCom32::OutCount() { return Active->OutCount(); }

bool T_QCCom32::Write(const std::string &text)
{
    return Active->Write(text);
}

void T_QCCom32::Read(std::string &text)
{
    text.clear();
    if (Busy.exchange(true)) {
        if (ShowErrorBoxes)
            Report(MessageCaption, "Port is in use -- operation aborted", TPortButtons::Ok);
        return;
    }
    TInUseGuard guard(Busy);
    if (!Opened())
        return;
    if (ResponseEnd.empty())
        text = Active->ReadQueued();
    else
        ReadResponse(text);
}

void T_QCCom32::DiscardInput()
{
    if (Busy.exchange(true))
        return;
    TInUseGuard guard(Busy);
    Active->ReadQueued();
}

void T_QCCom32::ReadResponse(std::string &text)
{
    // The end text is taken once, so that a hook changing it cannot end the wait halfway.
    const std::string end = ResponseEnd;
    for (;;) {
        WaitForResponse(text, end);
        if (!TimedOutFlag || !ShowErrorBoxes)
            return;
        if (Report(WarningCaption, "Timeout waiting for response.", TPortButtons::AbortRetry)
            != TPortAnswer::Retry)
            return;
    }
}

void T_QCCom32::WaitForResponse(std::string &text, const std::string &end)
{
    TimedOutFlag = false;
    const auto deadline = TClock::now() + std::chrono::milliseconds(ResponseMs);
    std::size_t searchFrom = 0;
    for (;;) {
        text += Active->ReadQueued();
        if (text.find(end, searchFrom) != std::string::npos)
            return;
        // Only the tail that could still begin the end text needs searching again.
        searchFrom = text.size() >= end.size() ? text.size() - end.size() + 1 : 0;
        Hooks.ProcessMessages();
        // Closed or vanished meanwhile: nothing more can arrive, so waiting on would only stall.
        if (!Opened())
            return;
        if (TClock::now() >= deadline) {
            TimedOutFlag = true;
            if (TimeoutHandler)
                TimeoutHandler(*this);
            return;
        }
    }
}
