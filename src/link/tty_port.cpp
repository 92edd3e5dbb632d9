#include "link/tty_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

const unsigned long TTtyPort::FionRead = FIONREAD;
const unsigned long TTtyPort::TiocOutQ = TIOCOUTQ;

bool TTtyPort::Open(const TLineParams &params)
{
    Close();
    Vanished = false;
    for (std::atomic<int> &error : LineErrors)
        error = 0;
    Params = params;
    Fd = OpenTtyDevice(Device());
    if (Fd < 0)
        return false;
    // A refused setting leaves the port open as it is; only a vanished device closes it.
    if (!ConfigureTtyDevice(Fd, Params))
        CheckVanished(errno);
    return true;
}

void TTtyPort::SetLineParams(const TLineParams &params)
{
    Params = params;
    if (Fd >= 0 && !ConfigureTtyDevice(Fd, Params))
        CheckVanished(errno);
}

void TTtyPort::Close()
{
    if (const int fd = Fd.exchange(-1); fd >= 0)
        CloseTtyDevice(fd);
}

void TTtyPort::CheckVanished(int error)
{
    if (!DeviceVanished(error))
        return;
    Vanished = true;
    Close();
}

// ---- control lines: one request each, nothing buffered ----

void TTtyPort::ModemControl(int output, unsigned long request, int bits)
{
    if (Fd >= 0 && ::ioctl(Fd, request, &bits) != 0)
        LineRequestFailed(output, errno);
}

void TTtyPort::LineRequestFailed(int output, int error)
{
    int none = 0;
    if (!DeviceVanished(error))
        LineErrors[static_cast<std::size_t>(output)].compare_exchange_strong(none, error);
    CheckVanished(error);
}

std::vector<std::string> TTtyPort::LineFailures() const
{
    static const char *const what[] = {"TXD cannot be held in break", "RTS cannot be set", "DTR cannot be set"};
    std::vector<std::string> failures;
    for (std::size_t line = 0; line < LineErrors.size(); ++line)
        if (const int error = LineErrors[line]; error != 0)
            failures.push_back(std::string(what[line]) + " on this cable: " + std::strerror(error));
    return failures;
}

void TTtyPort::SetRts(bool level) { ModemControl(1, level ? TIOCMBIS : TIOCMBIC, TIOCM_RTS); }

void TTtyPort::SetDtr(bool level) { ModemControl(2, level ? TIOCMBIS : TIOCMBIC, TIOCM_DTR); }

void TTtyPort::SetBreak(bool level)
{
    if (Fd >= 0 && ::ioctl(Fd, level ? TIOCSBRK : TIOCCBRK) != 0)
        LineRequestFailed(0, errno);
}

bool TTtyPort::ModemStatus(int mask)
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

bool TTtyPort::GetCTS() { return ModemStatus(TIOCM_CTS); }
bool TTtyPort::GetDSR() { return ModemStatus(TIOCM_DSR); }
bool TTtyPort::GetRLSD() { return ModemStatus(TIOCM_CD); }
bool TTtyPort::GetRI() { return ModemStatus(TIOCM_RI); }

// ---- queues and data path ----

int TTtyPort::QueueCount(unsigned long request)
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

// The descriptor never blocks, so a write that does not fit the driver's buffer waits for room,
// but only as long as the bytes would take on the wire twice over plus a second: a line that never
// drains (a peer that stopped reading) must not hang the caller.
int TTtyPort::WriteAllowanceMs(std::size_t bytes) const
{
    constexpr long long BitsPerCharacter = 12;
    const long long baud = std::max(Params.Baud, 50);
    const long long wireMs = static_cast<long long>(bytes) * BitsPerCharacter * 1000 / baud;
    return static_cast<int>(std::min(2 * wireMs + 1000, 600000LL));
}

bool TTtyPort::WaitWritable(int timeoutMs)
{
    pollfd pfd{Fd, POLLOUT, 0};
    int ready = ::poll(&pfd, 1, std::max(timeoutMs, 0));
    return ready > 0 || (ready < 0 && errno == EINTR);
}

bool TTtyPort::Write(const std::string &text)
{
    using TClock = std::chrono::steady_clock;
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

std::string TTtyPort::ReadQueued()
{
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
