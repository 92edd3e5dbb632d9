#include "sim/s51_session.h"

#include "sim/child_process.h"
#include "sim/uart_timing.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr double StepSeconds = 0.005;   // simulated time one step asks for
constexpr std::size_t StepsQueued = 8;  // so that s51 never finds its console empty
constexpr double MaxLagSeconds = 0.1;   // a backlog beyond this is forgotten
constexpr int StepsPerRegisterRead = 20;
constexpr auto StartupPatience = 10s;
constexpr auto FinishPatience = 2s;
// Longer than s51's idle sleep: a line not answered by then was lost.
constexpr auto Silence = 250ms;
constexpr int DumpBytesPerLine = 16;
constexpr int EepromBytesPerCommand = 32;
// How long s51 looks for UART input at every cycle after bytes came: their time on the line (start
// bit, 8 data bits, a ninth in modes 2 and 3, stop bit), and some slack.
constexpr double BitsPerCharacter = 11.0;
constexpr double SlowestBaud = 300.0;
constexpr double InputSlackSeconds = 0.05;
// The second data pointer's SFRs on every chip of the table.
constexpr int Dp1Low = 0x84;
constexpr int Dp1High = 0x85;

void Check(bool ok, const char *what)
{
    if (!ok)
        throw std::system_error(errno, std::generic_category(), what);
}

std::string Hex(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// Both ends closed when it goes, but for the ones taken.
struct TPipe {
    int Read = -1;
    int Write = -1;

    TPipe()
    {
        int ends[2];
        Check(::pipe2(ends, O_CLOEXEC) == 0, "cannot make a pipe to s51");
        Read = ends[0];
        Write = ends[1];
    }
    ~TPipe()
    {
        for (int fd : {Read, Write})
            if (fd >= 0)
                ::close(fd);
    }
    TPipe(const TPipe &) = delete;
    TPipe &operator=(const TPipe &) = delete;
    int TakeRead() { return std::exchange(Read, -1); }
    int TakeWrite() { return std::exchange(Write, -1); }
};

int NonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void BlockSigpipe()
{
    sigset_t pipe;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

// The last lines s51 printed, to say why it ended.
std::string Tail(const std::string &text)
{
    std::string tail = text.size() > 300 ? text.substr(text.size() - 300) : text;
    std::replace(tail.begin(), tail.end(), '\n', ' ');
    tail.erase(std::remove(tail.begin(), tail.end(), '\0'), tail.end());
    const std::size_t last = tail.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : ": " + tail.substr(0, last + 1);
}

} // namespace

TS51Session::TS51Session(TS51Received &received, TS51Program program)
    : Received(received), Program(std::move(program)), Chip(ChipInfo(Program.Kind)), Data(Program.Data),
      Wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), Thread([this] { Run(); })
{
}

TS51Session::~TS51Session()
{
    Stop();
    ::close(Wake);
}

void TS51Session::Write(const std::string &bytes)
{
    {
        const std::lock_guard lock(StateLock);
        Input += bytes;
    }
    WakeUp();
}

std::vector<std::uint8_t> TS51Session::Stop()
{
    if (Thread.joinable()) {
        {
            const std::lock_guard lock(StateLock);
            StopRequested = true;
        }
        WakeUp();
        Thread.join();
    }
    return Data;
}

void TS51Session::WakeUp()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(Wake, &one, sizeof one);
}

std::string TS51Session::Failure() const
{
    const std::lock_guard lock(StateLock);
    return Trouble;
}

std::optional<double> TS51Session::ProgramBaud() const
{
    const std::lock_guard lock(StateLock);
    return Baud;
}

void TS51Session::Run()
{
    BlockSigpipe();
    try {
        Launch();
        // A stop while s51 starts (RESET raised again at once) ends the run without a complaint.
        if (!AwaitAnswers(StartupPatience, true) && !StopWanted())
            throw std::runtime_error("s51 did not start within " + std::to_string(StartupPatience.count()) + " s" +
                                     Tail(Console->Unanswered()));
        if (!StopWanted()) {
            Configure();
            Loop();
            Finish();
        }
    } catch (const std::exception &error) {
        Fail(error.what());
    }
    Child.reset();
    if (UartOut >= 0)
        DrainOutput(); // what the program sent before it stopped still arrives
    Console.reset();
    for (int fd : {UartIn, UartOut})
        if (fd >= 0)
            ::close(fd);
}

void TS51Session::Launch()
{
    Check(Wake >= 0, "cannot make an eventfd");
    TPipe console, answers, uartIn, uartOut;
    const std::vector<std::string> args{"s51", "-P", "-b", "-e", "set console interactive on",
                                        "-t", Chip.Core.Is8052 ? "C52" : "C51",
                                        "-X", std::to_string(std::lround(Program.CrystalHz)),
                                        "-S", "in=/dev/fd/3,out=/dev/fd/4", Program.HexFile};
    const std::vector<int> fds{console.Read, answers.Write, answers.Write, uartIn.Read, uartOut.Write};
    Child = std::make_unique<TChildProcess>(Program.Simulator, args, fds);
    Console = std::make_unique<TS51Console>(console.TakeWrite(), NonBlocking(answers.TakeRead()));
    UartIn = NonBlocking(uartIn.TakeWrite());
    UartOut = NonBlocking(uartOut.TakeRead());
}

// The second data pointer, the control register's reset value (the AT89S8252's EEPROM ready flag
// reads 1 from then on, as long as the program writes no 0 there) and the data EEPROM mapped where
// the chip maps it.
void TS51Session::Configure()
{
    const TCoreInfo &core = Chip.Core;
    Console->Send("expr cpu_aof_mdps1l=" + Hex(Dp1Low) + ";expr cpu_aof_mdps1h=" + Hex(Dp1High) +
                      ";expr cpu_mask_mdps=" + Hex(core.DpsMask) + ";expr cpu_aof_mdps=" + Hex(core.ControlRegister),
                  TS51Line::Setup);
    Console->Send("expr sfr[" + Hex(core.ControlRegister) + "]=" + Hex(core.ControlReset), TS51Line::Setup);
    if (core.EepromMask && !Data.empty())
        LoadEeprom();
}

// s51's external RAM at 0.. is switched to a memory of its own while the control register's EEMEN bit
// is set, exactly as the AT89S8252 does it. What s51 cannot do: EEMWE is not needed to write (every
// MOVX write with EEMEN set stores), a write takes no time, and RDY/BSY is a plain bit that reads
// what the program last wrote to it.
void TS51Session::LoadEeprom()
{
    const std::string last = Hex(static_cast<int>(Data.size()) - 1);
    Console->Send("memory create chip eeprom " + std::to_string(Data.size()) + " 8", TS51Line::Setup);
    Console->Send("memory create banker sfr " + Hex(Chip.Core.ControlRegister) + " " + Hex(Chip.Core.EepromMask) +
                      " xram 0 " + last,
                  TS51Line::Setup);
    Console->Send("memory create bank xram 0 0 xram_chip 0", TS51Line::Setup);
    Console->Send("memory create bank xram 0 1 eeprom 0", TS51Line::Setup);
    for (std::size_t at = 0; at < Data.size(); at += EepromBytesPerCommand) {
        std::string line = "set memory eeprom " + std::to_string(at);
        for (std::size_t i = at; i < std::min(Data.size(), at + EepromBytesPerCommand); ++i)
            line += " " + Hex(Data[i]);
        Console->Send(line, TS51Line::Setup);
    }
}

bool TS51Session::StopWanted() const
{
    const std::lock_guard lock(StateLock);
    return StopRequested;
}

void TS51Session::Loop()
{
    Origin = LastAnswer = TClock::now();
    for (;;) {
        if (StopWanted())
            return;
        Pace();
        Service(PollTimeout());
        if (EndedAlone)
            return;
        if (!Paused && TClock::now() - LastAnswer > Silence)
            Console->GiveUpInFlight();
    }
}

// Lets the steps asked for end, then reads the data EEPROM back. Sending while a step runs could
// stop it and lose the line, so the dump goes out only once s51 has answered everything or fallen
// silent.
void TS51Session::Finish()
{
    if (!Console || EndedAlone)
        return;
    if (Paused) {
        Child->Signal(SIGCONT);
        Paused = false;
    }
    AwaitSilence();
    if (!Chip.Core.EepromMask || Data.empty() || EndedAlone)
        return;
    Console->Send("dump eeprom 0 " + Hex(static_cast<int>(Data.size()) - 1) + " " + std::to_string(DumpBytesPerLine),
                  TS51Line::Dump);
    AwaitAnswers(FinishPatience, false);
}

// Until every line in flight (and the startup notice) has been answered; false when s51 ended, the
// patience ran out or, when stoppable, a stop was asked for first.
bool TS51Session::AwaitAnswers(std::chrono::milliseconds patience, bool stoppable)
{
    const TClock::time_point deadline = TClock::now() + patience;
    while (!EndedAlone && (!Greeted || !Console->InFlight().empty())) {
        if (stoppable && StopWanted())
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
        if (left <= 0ms)
            return false;
        Service(static_cast<int>(left.count()));
    }
    return !EndedAlone;
}

// Until every line in flight has been answered, or s51 has said nothing for longer than it ever
// works on a step: the lines left then were lost.
void TS51Session::AwaitSilence()
{
    const TClock::time_point deadline = TClock::now() + FinishPatience;
    while (!EndedAlone && !Console->InFlight().empty() && TClock::now() < deadline) {
        const std::size_t heard = Console->Unanswered().size(), waiting = Console->InFlight().size();
        Service(static_cast<int>(std::chrono::milliseconds(Silence).count()));
        if (Console->Unanswered().size() == heard && Console->InFlight().size() == waiting)
            Console->GiveUpInFlight();
    }
}

void TS51Session::Service(int timeoutMs)
{
    pollfd fds[4] = {{Console->AnswerFd(), POLLIN, 0},
                     {UartOut, POLLIN, 0},
                     {Wake, POLLIN, 0},
                     {Unsent.empty() ? -1 : UartIn, POLLOUT, 0}};
    if (::poll(fds, 4, timeoutMs) < 0)
        return;
    if (fds[1].revents)
        DrainOutput();
    if (fds[2].revents)
        TakeWakeUps();
    if (!Unsent.empty())
        FlushInput();
    if (!fds[0].revents)
        return;
    const bool open = Console->Receive();
    while (const std::optional<TS51Answer> answer = Console->TakeAnswer())
        HandleAnswer(*answer);
    if (!open)
        EndedByItself();
}

void TS51Session::HandleAnswer(const TS51Answer &answer)
{
    Greeted = true;
    LastAnswer = TClock::now();
    CountStep(answer);
    if (!answer.Line)
        return;
    if (answer.Line->Kind == TS51Line::Registers)
        ReadRegisters(answer.Output);
    else if (answer.Line->Kind == TS51Line::Dump)
        ReadEeprom(answer.Output);
}

// Every step's ticks count, also those of a line that lost its tag.
void TS51Session::CountStep(const TS51Answer &answer)
{
    const std::optional<std::uint64_t> ticks = SteppedTicks(answer.Text);
    if (!ticks)
        return;
    Ticks += *ticks;
    Simulated = static_cast<double>(Ticks) / Program.CrystalHz;
    if (answer.Line && answer.Line->Instructions > 0 && *ticks > 0)
        TicksPerInstruction = std::clamp(static_cast<double>(*ticks) / static_cast<double>(answer.Line->Instructions),
                                         1.0, 1000.0);
}

void TS51Session::ReadRegisters(const std::string &output)
{
    // The registers and the check_often setting; an echo run glued to one of them spoils the read.
    const std::vector<long> values = AnswerNumbers(output);
    constexpr std::size_t Count = std::size(UartRegisterAddresses);
    if (values.size() != Count + 1)
        return;
    std::uint8_t bytes[Count];
    for (std::size_t i = 0; i < Count; ++i)
        bytes[i] = static_cast<std::uint8_t>(values[i]);
    const TUartRegisters registers{bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]};
    const std::lock_guard lock(StateLock);
    Baud = UartBaud(registers, Program.CrystalHz, Chip.Core.Is8052);
}

void TS51Session::ReadEeprom(const std::string &output)
{
    std::vector<std::uint8_t> memory = Data;
    if (ReadDump(output, memory, DumpBytesPerLine))
        Data = std::move(memory);
}

// Holds s51 while the simulated time is ahead of the wall clock; lets it go on, with its next steps
// queued, once the clock has caught up.
void TS51Session::Pace()
{
    const TClock::time_point now = TClock::now();
    const std::chrono::duration<double> simulated(Simulated.load());
    const std::chrono::duration<double> maxLag(MaxLagSeconds);
    if (now - Origin - simulated > maxLag)
        Origin = now - std::chrono::duration_cast<TClock::duration>(simulated + maxLag);
    ResumeAt = Origin + std::chrono::duration_cast<TClock::duration>(simulated);
    if (ResumeAt > now) {
        if (!Paused) {
            TopUp();
            Child->Signal(SIGSTOP);
            Paused = true;
        }
        return;
    }
    TopUp();
    if (Paused) {
        Child->Signal(SIGCONT);
        Paused = false;
    }
}

void TS51Session::TopUp()
{
    for (std::size_t steps = StepsInFlight(); steps < StepsQueued; ++steps)
        SendStep();
}

std::size_t TS51Session::StepsInFlight() const
{
    const auto &lines = Console->InFlight();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [](const TS51Sent &line) { return line.Kind != TS51Line::Setup; }));
}

// Each step says whether s51 is to look for UART input at every cycle, so a lost line changes nothing.
void TS51Session::SendStep()
{
    const long instructions = std::max(1L, std::lround(StepSeconds * Program.CrystalHz / TicksPerInstruction));
    std::string line;
    TS51Line kind = TS51Line::Step;
    if (++StepsSinceRegisters == StepsPerRegisterRead) {
        StepsSinceRegisters = 0;
        kind = TS51Line::Registers;
        for (std::uint8_t address : UartRegisterAddresses)
            line += "expr sfr[" + Hex(address) + "];";
    }
    line += std::string("expr uart0_check_often=") + (InputWaiting() ? "1" : "0");
    line += ";step " + std::to_string(instructions);
    Console->Send(line, kind, instructions);
}

bool TS51Session::InputWaiting() const { return !Unsent.empty() || Simulated < InputUntil; }

void TS51Session::DrainOutput()
{
    char bytes[4096];
    ssize_t n;
    while ((n = ::read(UartOut, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
        if (n <= 0)
            continue;
        {
            const std::lock_guard lock(Received.Lock);
            const std::size_t room = TS51Received::Capacity - std::min(TS51Received::Capacity, Received.Bytes.size());
            Received.Bytes.append(bytes, std::min(room, static_cast<std::size_t>(n)));
        }
        Received.Arrived.notify_all();
    }
}

void TS51Session::FlushInput()
{
    const ssize_t n = ::write(UartIn, Unsent.data(), Unsent.size());
    if (n > 0)
        Unsent.erase(0, static_cast<std::size_t>(n));
}

// s51 reads its UART input ahead into a buffer of its own, so how long bytes still wait for the
// program is told by the time they take on the line (at the slowest rate the terminal offers when
// the program's is not known yet), with some slack for a program that takes its time.
void TS51Session::TakeWakeUps()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(Wake, &count, sizeof count);
    const std::lock_guard lock(StateLock);
    const double charSeconds = BitsPerCharacter / Baud.value_or(SlowestBaud);
    InputUntil = std::max(InputUntil, Simulated.load()) + static_cast<double>(Input.size()) * charSeconds +
                 InputSlackSeconds;
    Unsent += Input;
    Input.clear();
}

void TS51Session::Fail(const std::string &reason)
{
    {
        const std::lock_guard lock(StateLock);
        if (Trouble.empty())
            Trouble = reason;
    }
    EndedAlone = true;
}

void TS51Session::EndedByItself()
{
    Fail("s51 ended unexpectedly (" + Child->WaitForEnd() + ")" + Tail(Console->Unanswered()));
}

int TS51Session::PollTimeout() const
{
    if (!Paused)
        return static_cast<int>(std::chrono::milliseconds(Silence).count());
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(ResumeAt - TClock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}
