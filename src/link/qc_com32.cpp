#include "link/qc_com32.h"
#include "link/virtual_serial.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "link/port_back_end.h"
#include "link/tty_device.h"

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

void T_QCCom32::AttachVirtual(TLineInterface *lines)
{
    if (VirtualOpen && lines != Virtual)
        Close();
    Virtual = lines;
}

void T_QCCom32::AttachSerial(TVirtualSerial *serial)
{
    if (Serial && serial != Serial && Opened())
        Serial->PortOpened(false);
    Serial = serial;
}

std::string T_QCCom32::TargetProblem() const
{
    return Serial && Opened() ? Serial->Problem() : std::string();
}

void T_QCCom32::AttachBackEnd(TPortBackEnd *backEnd)
{
    if (BackEnd && backEnd != BackEnd)
        Close();
    BackEnd = backEnd;
}

bool T_QCCom32::Opened() const
{
    return Fd >= 0 || VirtualOpen || (BackEnd && BackEnd->Opened());
}

// ---- open and close ----

bool T_QCCom32::Open()
{
    Close();
    Vanished = false;
    for (std::atomic<int> &error : LineErrors)
        error = 0;
    while (!OpenDevice()) {
        if (!ShowErrorBoxes)
            return false;
        const std::string text = "Error opening COM" + std::to_string(PortNumber) + ": ";
        if (Report(WarningCaption, text, TPortButtons::AbortRetry) != TPortAnswer::Retry)
            return false;
    }
    ApplyLineParams();
    // The stored break level is deliberately not applied: TXD stays as the driver opened it. A back
    // end keeps the levels its lines last had, which the ISP link set without this component.
    if (!BackEnd) {
        SetDtr(DtrLevel);
        SetRts(RtsLevel);
    }
    if (Serial && Opened()) {
        Serial->SetBaud(BaudRate);
        Serial->PortOpened(true);
    }
    return Opened();
}

bool T_QCCom32::OpenDevice()
{
    if (DevicePath == VirtualPortName) {
        VirtualOpen = Virtual != nullptr;
        return VirtualOpen;
    }
    if (BackEnd)
        return BackEnd->Open({BaudRate, ParityChar, DataBits, StopBits});
    Fd = OpenTtyDevice(DeviceName());
    return Fd >= 0;
}

void T_QCCom32::ApplyLineParams()
{
    if (Fd < 0)
        return;
    // A refused setting leaves the port open as it is; only a vanished device closes it.
    if (!ConfigureTtyDevice(Fd, {BaudRate, ParityChar, DataBits, StopBits}))
        CheckVanished(errno);
}

void T_QCCom32::Close()
{
    if (Serial && Opened())
        Serial->PortOpened(false);
    if (BackEnd)
        BackEnd->Close();
    if (const int fd = Fd.exchange(-1); fd >= 0)
        CloseTtyDevice(fd);
    VirtualOpen = false;
}

void T_QCCom32::CheckVanished(int error)
{
    if (!DeviceVanished(error))
        return;
    Vanished = true;
    Close();
}

// ---- line parameters ----

// A back end keeps its device and takes the new parameters: reopening a USB device would hand it
// to the kernel's driver and back for nothing. A virtual port sets its lines again, as an open does,
// but its target's program keeps running, as a chip does when the terminal changes its rate.
void T_QCCom32::Reopen()
{
    if (Serial && Opened())
        Serial->SetBaud(BaudRate);
    if (VirtualOpen) {
        SetDtr(DtrLevel);
        SetRts(RtsLevel);
        return;
    }
    if (BackEnd && BackEnd->Opened())
        BackEnd->SetLineParams({BaudRate, ParityChar, DataBits, StopBits});
    else if (Opened())
        Open();
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

void T_QCCom32::ModemControl(int output, unsigned long request, int bits)
{
    if (Fd >= 0 && ::ioctl(Fd, request, &bits) != 0)
        LineRequestFailed(output, errno);
}

void T_QCCom32::LineRequestFailed(int output, int error)
{
    int none = 0;
    if (!DeviceVanished(error))
        LineErrors[static_cast<std::size_t>(output)].compare_exchange_strong(none, error);
    CheckVanished(error);
}

std::vector<std::string> T_QCCom32::LineFailures() const
{
    static const char *const what[] = {"TXD cannot be held in break", "RTS cannot be set", "DTR cannot be set"};
    std::vector<std::string> failures;
    for (std::size_t line = 0; line < LineErrors.size(); ++line)
        if (const int error = LineErrors[line]; error != 0)
            failures.push_back(std::string(what[line]) + " on this cable: " + std::strerror(error));
    return failures;
}

void T_QCCom32::SetRts(bool level)
{
    RtsLevel = level;
    if (VirtualOpen)
        Virtual->SetRts(level);
    else if (BackEnd)
        BackEnd->SetRts(level);
    else
        ModemControl(1, level ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

void T_QCCom32::SetDtr(bool level)
{
    DtrLevel = level;
    if (VirtualOpen)
        Virtual->SetDtr(level);
    else if (BackEnd)
        BackEnd->SetDtr(level);
    else
        ModemControl(2, level ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
}

void T_QCCom32::SetBreak(bool level)
{
    BreakLevel = level;
    if (VirtualOpen)
        Virtual->SetBreak(level);
    else if (BackEnd)
        BackEnd->SetBreak(level);
    else if (Fd >= 0 && ::ioctl(Fd, level ? TIOCSBRK : TIOCCBRK) != 0)
        LineRequestFailed(0, errno);
}

bool T_QCCom32::ModemStatus(int mask)
{
    int bits = 0;
    if (Fd < 0)
        return false;
    if (::ioctl(Fd, TIOCMGET, &bits) != 0) {
        CheckVanished(errno);
        return false;
    }
    return (bits & mask) != 0;
}

bool T_QCCom32::GetCTS()
{
    return VirtualOpen ? Virtual->GetCTS() : BackEnd ? BackEnd->GetCTS() : ModemStatus(TIOCM_CTS);
}

bool T_QCCom32::GetDSR()
{
    return VirtualOpen ? Virtual->GetDSR() : BackEnd ? BackEnd->GetDSR() : ModemStatus(TIOCM_DSR);
}

bool T_QCCom32::GetRLSD()
{
    return VirtualOpen ? Virtual->GetRLSD() : BackEnd ? BackEnd->GetRLSD() : ModemStatus(TIOCM_CD);
}

bool T_QCCom32::GetRI()
{
    return VirtualOpen ? Virtual->GetRI() : BackEnd ? BackEnd->GetRI() : ModemStatus(TIOCM_RI);
}

void T_QCCom32::QueueSample(int line)
{
    if (BackEnd)
        BackEnd->QueueSample(line);
    else
        TImmediateLines::QueueSample(line);
}

bool T_QCCom32::TakeSample()
{
    return BackEnd ? BackEnd->TakeSample() : TImmediateLines::TakeSample();
}

void T_QCCom32::Wait(double ms, TDelay delay)
{
    if (BackEnd)
        BackEnd->Wait(ms, delay);
    else
        delay(ms);
}

void T_QCCom32::Flush()
{
    if (BackEnd)
        BackEnd->Flush();
}

bool T_QCCom32::PortLost() const
{
    return BackEnd ? BackEnd->PortLost() : Vanished.load();
}

// ---- queues ----

int T_QCCom32::QueueCount(unsigned long request)
{
    int count = 0;
    if (Fd < 0)
        return 0;
    if (::ioctl(Fd, request, &count) != 0) {
        CheckVanished(errno);
        return 0;
    }
    return std::max(count, 0);
}

// A back end writes synchronously, so nothing of it waits to be sent.
int T_QCCom32::InCount()
{
    if (VirtualOpen)
        return Serial ? Serial->InCount() : 0;
    return BackEnd ? BackEnd->InCount() : QueueCount(FIONREAD);
}
int T_QCCom32::OutCount() { return BackEnd ? 0 : QueueCount(TIOCOUTQ); }

// ---- data path ----

// The descriptor never blocks, so a write that does not fit the driver's buffer waits for room,
// but only as long as the bytes would take on the wire twice over plus a second: a line that never
// drains (a peer that stopped reading) must not hang the caller.
int T_QCCom32::WriteAllowanceMs(std::size_t bytes) const
{
    constexpr long long BitsPerCharacter = 12;
    const long long baud = std::max(BaudRate, 50);
    const long long wireMs = static_cast<long long>(bytes) * BitsPerCharacter * 1000 / baud;
    return static_cast<int>(std::min(2 * wireMs + 1000, 600000LL));
}

bool T_QCCom32::WaitWritable(int timeoutMs)
{
    pollfd pfd{Fd, POLLOUT, 0};
    int ready = ::poll(&pfd, 1, std::max(timeoutMs, 0));
    return ready > 0 || (ready < 0 && errno == EINTR);
}

bool T_QCCom32::Write(const std::string &text)
{
    if (VirtualOpen) {
        if (Serial)
            Serial->Write(text);
        return true;
    }
    if (BackEnd)
        return BackEnd->Write(text);
    const auto deadline = TClock::now() + std::chrono::milliseconds(WriteAllowanceMs(text.size()));
    std::size_t done = 0;
    while (Fd >= 0 && done < text.size()) {
        const ssize_t n = ::write(Fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            CheckVanished(errno);
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
        if (left.count() <= 0 || !WaitWritable(static_cast<int>(left.count())))
            return false;
    }
    return Fd >= 0;
}

std::string T_QCCom32::ReadQueued()
{
    if (VirtualOpen)
        return Serial ? Serial->ReadQueued() : std::string();
    if (BackEnd)
        return BackEnd->ReadQueued();
    const int count = InCount();
    if (count <= 0)
        return {};
    std::string chunk(static_cast<std::size_t>(count), '\0');
    const ssize_t n = ::read(Fd, chunk.data(), chunk.size());
    if (n > 0) {
        chunk.resize(static_cast<std::size_t>(n));
        return chunk;
    }
    // Bytes were announced, so end-of-file here means the line was hung up under us.
    if (n == 0) {
        Vanished = true;
        Close();
    } else
        CheckVanished(errno);
    return {};
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
        text = ReadQueued();
    else
        ReadResponse(text);
}

void T_QCCom32::DiscardInput()
{
    if (Busy.exchange(true))
        return;
    TInUseGuard guard(Busy);
    ReadQueued();
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
        text += ReadQueued();
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
