// The serial port on a pseudo-terminal pair: the test holds the master side and plays the target.
// A pseudo-terminal refuses modem-control requests, so those are observed by interposing ioctl.
#include "link/lines_port.h"
#include "link/qc_com32.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---- ioctl interposition ----

struct TModemRequest {
    unsigned long Request;
    int Bits;
    bool operator==(const TModemRequest &) const = default;
};

struct TIoctlSpy {
    bool Active = false;
    bool Fake = false; // answer modem requests here instead of letting the pty refuse them
    int Status = 0;    // what a faked TIOCMGET reports
    int FailErrno = 0; // when set, every modem request fails with it
    unsigned long FailOnly = 0; // when set, only this request fails (a driver without break, say)
    std::vector<TModemRequest> Requests;
    termios Requested{}; // the last line settings asked for; a pty forces CS8 and no parity itself
};

TIoctlSpy Spy;

bool IsModemRequest(unsigned long request)
{
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCSBRK
        || request == TIOCCBRK;
}

// Records a modem request; answers it when the spy fails or fakes them, else lets it through.
std::optional<int> SpyModemRequest(unsigned long request, void *arg)
{
    const bool hasBits = request == TIOCMBIS || request == TIOCMBIC;
    Spy.Requests.push_back({request, hasBits ? *static_cast<int *>(arg) : 0});
    if (Spy.FailErrno != 0 && (Spy.FailOnly == 0 || Spy.FailOnly == request)) {
        errno = Spy.FailErrno;
        return -1;
    }
    if (!Spy.Fake)
        return std::nullopt;
    if (request == TIOCMGET)
        *static_cast<int *>(arg) = Spy.Status;
    return 0;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (Spy.Active && IsModemRequest(request))
        if (const auto answer = SpyModemRequest(request, arg))
            return *answer;
    using TIoctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

extern "C" int tcsetattr(int fd, int actions, const termios *tio) noexcept
{
    Spy.Requested = *tio;
    using TTcsetattr = int (*)(int, int, const termios *);
    static const auto real = reinterpret_cast<TTcsetattr>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real(fd, actions, tio);
}

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Polls a condition for a generous while; the machine is shared, so no tight bounds.
bool WaitUntil(const std::function<bool()> &condition)
{
    const auto deadline = TClock::now() + 10s;
    while (!condition()) {
        if (TClock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TPty {
public:
    TPty()
    {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(Master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        SlavePath = name;
        ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
    ~TPty() { CloseMaster(); }
    TPty(const TPty &) = delete;
    TPty &operator=(const TPty &) = delete;

    void Send(const std::string &bytes)
    {
        ASSERT_EQ(::write(Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port has written, once `count` bytes came or after a generous wait.
    std::string Receive(std::size_t count)
    {
        std::string got;
        char chunk[4096];
        const auto deadline = TClock::now() + 10s;
        while (got.size() < count && TClock::now() < deadline) {
            pollfd pfd{Master, POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0)
                continue;
            const ssize_t n = ::read(Master, chunk, sizeof chunk);
            if (n > 0)
                got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    termios SlaveTermios() const
    {
        termios tio{};
        EXPECT_EQ(::tcgetattr(Master, &tio), 0); // on a pty master this reads the slave's settings
        return tio;
    }
    speed_t SlaveSpeed() const
    {
        const termios tio = SlaveTermios();
        return ::cfgetospeed(&tio);
    }
    void SetSlaveSpeed(speed_t speed)
    {
        termios tio = SlaveTermios();
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ASSERT_EQ(::tcsetattr(Master, TCSANOW, &tio), 0);
    }

    void CloseMaster()
    {
        if (Master >= 0)
            ::close(Master);
        Master = -1;
    }

    int Master = -1;
    std::string SlavePath;
};

struct TReport {
    std::string Caption;
    std::string Text;
    TPortButtons Buttons;
};

class TRecordingLines final : public TImmediateLines {
public:
    void SetBreak(bool level) override { Calls.push_back(level ? "Break+" : "Break-"); }
    void SetRts(bool level) override { Calls.push_back(level ? "Rts+" : "Rts-"); }
    void SetDtr(bool level) override { Calls.push_back(level ? "Dtr+" : "Dtr-"); }
    bool GetCTS() override { return Inputs[0]; }
    bool GetDSR() override { return Inputs[1]; }
    bool GetRLSD() override { return Inputs[2]; }
    bool GetRI() override { return Inputs[3]; }

    std::vector<std::string> Calls;
    bool Inputs[4] = {false, false, false, false};
};

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        Spy = {};
        Port.SetPortName(Pty.SlavePath);
        Port.SetHooks({[this](const std::string &caption, const std::string &text, TPortButtons buttons) {
                           Reports.push_back({caption, text, buttons});
                           return OnReport ? OnReport() : TPortAnswer::Abort;
                       },
                       [this] {
                           ++Pumps;
                           if (OnPump)
                               OnPump(Pumps);
                           std::this_thread::sleep_for(1ms);
                       }});
    }
    void TearDown() override { Spy = {}; }

    void OpenPort() { ASSERT_TRUE(Port.Open()) << Pty.SlavePath; }
    void SendAndWait(const std::string &bytes, int queued)
    {
        Pty.Send(bytes);
        ASSERT_TRUE(WaitUntil([&] { return Port.InCount() >= queued; }));
    }
    std::string ReadPort()
    {
        std::string text = "stale";
        Port.Read(text);
        return text;
    }
    void StartSpy(bool fake)
    {
        Spy = {};
        Spy.Active = true;
        Spy.Fake = fake;
    }

    TPty Pty;
    T_QCCom32 Port;
    std::vector<TReport> Reports;
    std::function<TPortAnswer()> OnReport;
    std::function<void(int)> OnPump;
    int Pumps = 0;
};

// ---- data path ----

TEST_F(SerialPort, WriteArrivesUnchangedOnTheOtherSide)
{
    OpenPort();
    const std::string text("LIST\r\n\0\xff", 8);
    EXPECT_TRUE(Port.Write(text));
    EXPECT_EQ(Pty.Receive(text.size()), text);
    EXPECT_TRUE(Port.Write(""));
}

TEST_F(SerialPort, ReadWithoutEndReturnsExactlyWhatIsQueued)
{
    OpenPort();
    EXPECT_EQ(ReadPort(), "");
    EXPECT_EQ(Pumps, 0) << "an empty queue must not wait";

    const std::string sent("10 PRINT\0\x80>", 11);
    SendAndWait(sent, static_cast<int>(sent.size()));
    EXPECT_EQ(Port.InCount(), static_cast<int>(sent.size()));
    EXPECT_EQ(ReadPort(), sent);
    EXPECT_EQ(Port.InCount(), 0);
    EXPECT_EQ(ReadPort(), "");
    EXPECT_FALSE(Port.InUse());
}

TEST_F(SerialPort, LongWriteWaitsForRoomAndKeepsEveryByteInOrder)
{
    Port.SetBaud(115200);
    OpenPort();
    std::string text(200000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('A' + i % 26);
    std::string received;
    std::thread reader([&] { received = Pty.Receive(text.size()); });
    EXPECT_TRUE(Port.Write(text));
    reader.join();
    EXPECT_EQ(received.size(), text.size());
    EXPECT_TRUE(received == text);
}

TEST_F(SerialPort, WriteToAPeerThatNeverReadsFailsInsteadOfHanging)
{
    Port.SetBaud(4000000);
    OpenPort();
    const auto start = TClock::now();
    EXPECT_FALSE(Port.Write(std::string(300000, 'x')));
    EXPECT_LT(TClock::now() - start, 60s);
    EXPECT_TRUE(Port.Opened());
}

// ---- read until a prompt ----

TEST_F(SerialPort, ResponseEndsAtPromptWithTheRestOfItsChunk)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(20000);
    int timeouts = 0;
    Port.SetOnTimeout([&](T_QCCom32 &) { ++timeouts; });
    OnPump = [&](int call) {
        if (call == 1)
            SendAndWait("ab", 2);
        if (call == 2)
            SendAndWait(">cd", 3);
    };
    EXPECT_EQ(ReadPort(), "ab>cd");
    EXPECT_EQ(Pumps, 2) << "the read must end as soon as the prompt is in";
    EXPECT_FALSE(Port.TimedOut());
    EXPECT_EQ(timeouts, 0);

    SendAndWait("already>there", 13);
    EXPECT_EQ(ReadPort(), "already>there");
    EXPECT_EQ(Pumps, 2);
}

TEST_F(SerialPort, ResponseEndSplitAcrossChunksIsFound)
{
    OpenPort();
    Port.SetEndOfResponse("OK\r\n");
    Port.SetResponseTime(20000);
    OnPump = [&](int call) {
        if (call == 1)
            SendAndWait("10 PRINT xO", 11);
        if (call == 2)
            SendAndWait("K\r", 2);
        if (call == 3)
            SendAndWait("\nz", 2);
    };
    EXPECT_EQ(ReadPort(), "10 PRINT xOK\r\nz");
    EXPECT_EQ(Pumps, 3);
    EXPECT_FALSE(Port.TimedOut());
}

TEST_F(SerialPort, TimeoutKeepsWhatArrivedAndFiresOnce)
{
    OpenPort();
    Port.SetShowErrors(false);
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(500); // room for the sender on a loaded machine
    std::vector<T_QCCom32 *> senders;
    Port.SetOnTimeout([&](T_QCCom32 &sender) { senders.push_back(&sender); });
    OnPump = [&](int call) {
        if (call == 1)
            SendAndWait("partial", 7);
    };
    EXPECT_EQ(ReadPort(), "partial");
    EXPECT_TRUE(Port.TimedOut());
    ASSERT_EQ(senders.size(), 1u);
    EXPECT_EQ(senders[0], &Port);
    EXPECT_TRUE(Reports.empty());
    EXPECT_FALSE(Port.InUse());

    Port.SetResponseTime(0); // must still end, after one look at the queue
    SendAndWait("more", 4);
    EXPECT_EQ(ReadPort(), "more");
    EXPECT_TRUE(Port.TimedOut());
    EXPECT_EQ(senders.size(), 2u);
}

TEST_F(SerialPort, TimeoutBoxRetryWaitsAgainAndAbortStops)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(30);
    int timeouts = 0;
    Port.SetOnTimeout([&](T_QCCom32 &) { ++timeouts; });
    SendAndWait("first", 5);
    OnReport = [&] {
        SendAndWait("-then>", 6);
        return TPortAnswer::Retry;
    };
    EXPECT_EQ(ReadPort(), "first-then>");
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Caption, "Warning");
    EXPECT_EQ(Reports[0].Text, "Timeout waiting for response.");
    EXPECT_EQ(Reports[0].Buttons, TPortButtons::AbortRetry);
    EXPECT_EQ(timeouts, 1);
    EXPECT_FALSE(Port.TimedOut()) << "the second wait succeeded";

    SendAndWait("again", 5);
    OnReport = [] { return TPortAnswer::Abort; };
    EXPECT_EQ(ReadPort(), "again");
    EXPECT_EQ(Reports.size(), 2u);
    EXPECT_TRUE(Port.TimedOut());
    EXPECT_EQ(timeouts, 2);
}

TEST_F(SerialPort, ReadStartedWhileOneRunsReturnsEmptyAndSaysSo)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(20000);
    std::string inner = "stale";
    bool inUseInside = false;
    OnPump = [&](int call) {
        if (call != 1)
            return;
        SendAndWait("in>", 3);
        inUseInside = Port.InUse();
        Port.Read(inner);
    };
    EXPECT_EQ(ReadPort(), "in>") << "the inner read must not take the bytes";
    EXPECT_EQ(inner, "");
    EXPECT_TRUE(inUseInside);
    EXPECT_FALSE(Port.InUse());
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Text, "Port is in use -- operation aborted");
    EXPECT_EQ(Reports[0].Buttons, TPortButtons::Ok);

    Port.SetShowErrors(false);
    Pumps = 0;
    inner = "stale";
    EXPECT_EQ(ReadPort(), "in>");
    EXPECT_EQ(inner, "");
    EXPECT_EQ(Reports.size(), 1u) << "no box without ShowErrors";
}

// The programming thread's drain: whatever the terminal left in EndOfResponse it takes what is queued
// and returns at once, without pumping events; a read that runs keeps its bytes and reports nothing.
TEST_F(SerialPort, DiscardInputNeverWaitsNorPumpsAndLeavesARunningReadItsBytes)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(20000);
    SendAndWait("10 PRINT 1\r\n", 12);
    std::thread([this] { Port.DiscardInput(); }).join();
    EXPECT_EQ(Port.InCount(), 0);
    EXPECT_EQ(Pumps, 0);
    EXPECT_FALSE(Port.InUse());

    OnPump = [&](int call) {
        if (call != 1)
            return;
        SendAndWait("in>", 3);
        Port.DiscardInput();
    };
    EXPECT_EQ(ReadPort(), "in>");
    EXPECT_TRUE(Reports.empty());
    EXPECT_FALSE(Port.InUse());
}

TEST_F(SerialPort, ClosingThePortDuringAResponseEndsTheWait)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(20000);
    OnPump = [&](int call) {
        if (call == 1)
            SendAndWait("abc", 3);
        if (call == 2)
            Port.Close();
    };
    const auto start = TClock::now();
    EXPECT_EQ(ReadPort(), "abc");
    EXPECT_LT(TClock::now() - start, 15s);
    EXPECT_FALSE(Port.TimedOut());
}

// ---- line parameters ----

TEST_F(SerialPort, OpenMakesARawLineWithoutFlowControlOrHangUp)
{
    OpenPort();
    const termios tio = Pty.SlaveTermios();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialPort, SameBaudLeavesThePortAloneAnotherReopensAndReappliesLines)
{
    OpenPort();
    Pty.SetSlaveSpeed(B1200); // a mark that only a reopen would overwrite
    Port.SetBaud(9600);
    EXPECT_EQ(Pty.SlaveSpeed(), static_cast<speed_t>(B1200));

    Port.SetDtr(true);
    StartSpy(true);
    Port.SetBaud(19200);
    EXPECT_EQ(Port.Baud(), 19200);
    EXPECT_EQ(Pty.SlaveSpeed(), static_cast<speed_t>(B19200));
    const std::vector<TModemRequest> reapplied = {{TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_RTS}};
    EXPECT_EQ(Spy.Requests, reapplied);
    EXPECT_TRUE(Port.Opened());
}

TEST_F(SerialPort, ParityDataAndStopBitsReachTheLine)
{
    OpenPort();
    auto cflag = [](tcflag_t mask) { return Spy.Requested.c_cflag & mask; };
    Port.SetParity('e');
    EXPECT_EQ(Port.Parity(), 'E');
    EXPECT_EQ(cflag(PARENB | PARODD), static_cast<tcflag_t>(PARENB));
    Port.SetParity('o');
    EXPECT_EQ(cflag(PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_EQ(Pty.SlaveTermios().c_cflag & PARODD, static_cast<tcflag_t>(PARODD)) << "not reopened";
    Port.SetParity('M');
    EXPECT_EQ(Port.Parity(), 'M');
    EXPECT_EQ(cflag(PARENB | PARODD), 0u);

    Port.SetStopbits(2);
    EXPECT_EQ(Pty.SlaveTermios().c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    Port.SetStopbits(3);
    EXPECT_EQ(Port.Stopbits(), 3);
    EXPECT_EQ(Pty.SlaveTermios().c_cflag & CSTOPB, 0u);

    Port.SetDatabits(7);
    EXPECT_EQ(cflag(CSIZE), static_cast<tcflag_t>(CS7));
    Port.SetDatabits(9);
    EXPECT_EQ(cflag(CSIZE), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cflag(CSTOPB), 0u);
    EXPECT_EQ(cflag(PARENB), 0u);
}

TEST_F(SerialPort, RateWithoutStandardSpeedKeepsTheLineSpeedAndNeverHangsUp)
{
    Port.SetBaud(57600);
    OpenPort();
    Port.SetParity('E');
    Port.SetBaud(12345);
    EXPECT_EQ(Port.Baud(), 12345);
    EXPECT_EQ(Pty.SlaveSpeed(), static_cast<speed_t>(B57600));
    EXPECT_EQ(Spy.Requested.c_cflag & PARENB, static_cast<tcflag_t>(PARENB));
    Port.SetBaud(0);
    EXPECT_EQ(Pty.SlaveSpeed(), static_cast<speed_t>(B57600));
    EXPECT_TRUE(Port.Opened());
}

// ---- control lines ----

TEST_F(SerialPort, EachLineSetterIsOneRequestAlsoWhenUnchanged)
{
    OpenPort();
    StartSpy(true);
    Port.SetRts(true);
    Port.SetRts(true);
    Port.SetDtr(false);
    Port.SetBreak(true);
    Port.SetBreak(false);
    const std::vector<TModemRequest> expected = {
        {TIOCMBIS, TIOCM_RTS}, {TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_DTR}, {TIOCSBRK, 0}, {TIOCCBRK, 0}};
    EXPECT_EQ(Spy.Requests, expected);
    EXPECT_TRUE(Port.Rts());
    EXPECT_FALSE(Port.Break());
}

TEST_F(SerialPort, LevelsSetWhileClosedAreStoredAndOpenAppliesAllButBreak)
{
    StartSpy(true);
    Port.SetBreak(true);
    Port.SetDtr(true);
    Port.SetRts(false);
    EXPECT_TRUE(Spy.Requests.empty());
    OpenPort();
    const std::vector<TModemRequest> expected = {{TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_RTS}};
    EXPECT_EQ(Spy.Requests, expected);
    EXPECT_TRUE(Port.Break());
}

TEST_F(SerialPort, InputsComeFromOneStatusRequestEach)
{
    OpenPort();
    StartSpy(true);
    Spy.Status = TIOCM_CTS | TIOCM_RI | TIOCM_DTR;
    EXPECT_TRUE(Port.GetCTS());
    EXPECT_FALSE(Port.GetDSR());
    EXPECT_FALSE(Port.GetRLSD());
    EXPECT_TRUE(Port.GetRI());
    Spy.Status = TIOCM_DSR | TIOCM_CD;
    EXPECT_FALSE(Port.GetCTS());
    EXPECT_TRUE(Port.GetDSR());
    EXPECT_TRUE(Port.GetRLSD());
    EXPECT_FALSE(Port.GetRI());
    EXPECT_EQ(Spy.Requests.size(), 8u);
    for (const auto &request : Spy.Requests)
        EXPECT_EQ(request.Request, static_cast<unsigned long>(TIOCMGET));
}

TEST_F(SerialPort, RefusedModemRequestsFailQuietlyAndKeepThePortOpen)
{
    OpenPort();
    StartSpy(false); // the pty itself refuses them
    Port.SetRts(true);
    Port.SetDtr(true);
    Port.SetBreak(true);
    Port.SetBreak(false);
    EXPECT_FALSE(Port.GetCTS());
    EXPECT_FALSE(Port.GetDSR());
    EXPECT_FALSE(Port.GetRLSD());
    EXPECT_FALSE(Port.GetRI());
    EXPECT_EQ(Spy.Requests.size(), 8u);
    EXPECT_TRUE(Port.Opened());
    EXPECT_TRUE(Port.Write("still here"));
    EXPECT_EQ(Pty.Receive(10), "still here");
}

// A cable that cannot drive a line (cdc_acm without break: EOPNOTSUPP; usb-serial drivers without
// it and a CP2105's second port: ENOTTY) is named with the line and the reason, the first per line,
// until the port opens again.
TEST_F(SerialPort, TheFirstRefusalOfEachOutputLineIsKeptUntilTheNextOpen)
{
    StartSpy(true); // the pty itself would refuse RTS and DTR at the open
    OpenPort();
    Spy.FailErrno = EOPNOTSUPP;
    Spy.FailOnly = TIOCSBRK;
    Port.SetBreak(true);
    Port.SetBreak(false);
    Spy.FailErrno = ENOTTY;
    Spy.FailOnly = TIOCMBIS;
    Port.SetDtr(true);
    Spy.FailErrno = EINVAL;
    Port.SetDtr(true);
    Port.SetRts(false);
    const std::vector<std::string> expected = {"TXD cannot be held in break on this cable: Operation not supported",
                                               "DTR cannot be set on this cable: Inappropriate ioctl for device"};
    EXPECT_EQ(Port.LineFailures(), expected);
    EXPECT_TRUE(Port.Opened());
    Spy.FailErrno = 0;
    OpenPort();
    EXPECT_TRUE(Port.LineFailures().empty());
}

// ---- closed port ----

TEST_F(SerialPort, ClosedPortFailsSilently)
{
    auto expectClosed = [&] {
        EXPECT_FALSE(Port.Opened());
        EXPECT_FALSE(Port.Write("x"));
        EXPECT_FALSE(Port.Write(""));
        Port.SetEndOfResponse("");
        EXPECT_EQ(ReadPort(), "");
        Port.SetEndOfResponse(">");
        EXPECT_EQ(ReadPort(), "");
        EXPECT_FALSE(Port.GetCTS());
        EXPECT_FALSE(Port.GetDSR());
        EXPECT_FALSE(Port.GetRLSD());
        EXPECT_FALSE(Port.GetRI());
        EXPECT_EQ(Port.InCount(), 0);
        EXPECT_EQ(Port.OutCount(), 0);
        EXPECT_FALSE(Port.InUse());
        EXPECT_EQ(Pumps, 0);
        EXPECT_TRUE(Reports.empty());
    };
    expectClosed();
    OpenPort();
    Port.Close();
    Port.Close();
    expectClosed();
}

// ---- opening ----

TEST(SerialPortNames, PortNumberMapsToTtyUnlessANameIsGiven)
{
    T_QCCom32 port;
    EXPECT_EQ(port.Port(), 1);
    EXPECT_EQ(port.DeviceName(), "/dev/ttyS0");
    port.SetPort(3);
    EXPECT_EQ(port.DeviceName(), "/dev/ttyS2");
    port.SetPortName("/dev/ttyUSB0");
    EXPECT_EQ(port.DeviceName(), "/dev/ttyUSB0");
    port.SetPortName("");
    port.SetPort(12);
    EXPECT_EQ(port.DeviceName(), "/dev/ttyS11");
    EXPECT_FALSE(port.Opened());
}

TEST_F(SerialPort, OpenFailureOffersRetryWhichTriesAgain)
{
    const std::filesystem::path link =
        std::filesystem::temp_directory_path() / ("korvel-port-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    Port.SetPortName(link.string());
    Port.SetPort(3);
    OnReport = [&] {
        std::filesystem::create_symlink(Pty.SlavePath, link);
        return TPortAnswer::Retry;
    };
    EXPECT_TRUE(Port.Open());
    std::filesystem::remove(link);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Caption, "Warning");
    EXPECT_EQ(Reports[0].Text, "Error opening COM3: ");
    EXPECT_EQ(Reports[0].Buttons, TPortButtons::AbortRetry);
}

TEST_F(SerialPort, OpenFailureEndsOnAbortOrAtOnceWithoutErrors)
{
    Port.SetPortName("/nonexistent/ttyS99");
    EXPECT_FALSE(Port.Open());
    EXPECT_EQ(Reports.size(), 1u);
    Port.SetShowErrors(false);
    EXPECT_FALSE(Port.Open());
    EXPECT_EQ(Reports.size(), 1u);
    Port.SetPortName("/dev/null"); // opens, but is no serial line
    EXPECT_FALSE(Port.Open());
    EXPECT_FALSE(Port.Opened());
}

TEST_F(SerialPort, SecondOpenerIsKeptOutUntilTheFirstCloses)
{
    OpenPort();
    T_QCCom32 other;
    other.SetShowErrors(false);
    other.SetPortName(Pty.SlavePath);
    EXPECT_FALSE(other.Open());
    Port.SetBaud(38400); // a reopen must not lock itself out
    EXPECT_TRUE(Port.Opened());
    Port.Close();
    EXPECT_TRUE(other.Open());
}

// ---- vanished device ----

TEST_F(SerialPort, HungUpDeviceBehavesLikeAClosedPort)
{
    OpenPort();
    Pty.CloseMaster();
    EXPECT_EQ(Port.InCount(), 0);
    EXPECT_FALSE(Port.Opened());
    EXPECT_FALSE(Port.Write("x"));
    EXPECT_EQ(ReadPort(), "");
    Port.SetRts(true);
    EXPECT_FALSE(Port.GetCTS());
    EXPECT_EQ(Port.OutCount(), 0);
    Port.SetShowErrors(false);
    EXPECT_FALSE(Port.Open());
}

TEST_F(SerialPort, DeviceVanishingDuringAResponseEndsTheRead)
{
    OpenPort();
    Port.SetEndOfResponse(">");
    Port.SetResponseTime(20000);
    OnPump = [&](int call) {
        if (call == 1)
            SendAndWait("abc", 3);
        if (call == 2)
            Pty.CloseMaster();
    };
    const auto start = TClock::now();
    EXPECT_EQ(ReadPort(), "abc");
    EXPECT_LT(TClock::now() - start, 15s);
    EXPECT_FALSE(Port.Opened());
    EXPECT_FALSE(Port.TimedOut());
}

TEST_F(SerialPort, LineRequestThatFindsTheDeviceGoneClosesThePort)
{
    OpenPort();
    StartSpy(true);
    Spy.FailErrno = ENOTTY;
    Port.SetRts(true);
    EXPECT_TRUE(Port.Opened()) << "a refused request is not a vanished device";
    Spy.FailErrno = EIO;
    Port.SetRts(false);
    EXPECT_FALSE(Port.Opened());
    Spy.Requests.clear();
    Port.SetDtr(true);
    EXPECT_FALSE(Port.GetDSR());
    EXPECT_TRUE(Spy.Requests.empty());
}

// ---- virtual target ----

TEST(SerialPortVirtual, LineCallsGoToTheAttachedTargetAndTheDataPathIsQuiet)
{
    T_QCCom32 port;
    port.SetShowErrors(false);
    port.SetPortName("sim");
    EXPECT_EQ(port.DeviceName(), "sim");
    EXPECT_FALSE(port.Open()) << "nothing attached";

    TRecordingLines lines;
    TLinesPort virtualPort;
    virtualPort.SetLines(&lines);
    port.AttachBackEnd(&virtualPort);
    port.SetBreak(true);
    port.SetRts(true);
    EXPECT_TRUE(lines.Calls.empty()) << "closed: only stored";
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(lines.Calls, (std::vector<std::string>{"Dtr-", "Rts+"}));

    lines.Calls.clear();
    port.SetBreak(false);
    port.SetDtr(true);
    port.SetDtr(true);
    EXPECT_EQ(lines.Calls, (std::vector<std::string>{"Break-", "Dtr+", "Dtr+"}));
    lines.Inputs[1] = lines.Inputs[3] = true;
    EXPECT_FALSE(port.GetCTS());
    EXPECT_TRUE(port.GetDSR());
    EXPECT_FALSE(port.GetRLSD());
    EXPECT_TRUE(port.GetRI());

    EXPECT_TRUE(port.Write("10 PRINT 1\r"));
    std::string text = "stale";
    port.Read(text);
    EXPECT_EQ(text, "");
    port.SetEndOfResponse(">");
    port.SetResponseTime(20);
    port.Read(text);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(port.TimedOut());
    EXPECT_EQ(port.InCount(), 0);
    EXPECT_EQ(port.OutCount(), 0);

    lines.Calls.clear();
    port.SetBaud(1200);
    EXPECT_EQ(lines.Calls, (std::vector<std::string>{"Dtr+", "Rts+"}));
    port.AttachBackEnd(nullptr);
    EXPECT_FALSE(port.Opened());
    EXPECT_FALSE(port.GetDSR());
}

} // namespace
