// One run of a program in the s51 simulator, from reset until it is stopped.
//
// A thread of the session starts s51 and lives as long as s51 does, so s51 dies with it even when the
// whole process goes down without cleaning up (see TChildProcess). s51's UART is a pipe each way
// (-S in=/dev/fd/3,out=/dev/fd/4): from a pipe s51 takes a byte only once the UART has taken the one
// before, while from a terminal (-s, a pseudo-terminal) or a socket (-k, -S port=) it throws away
// what comes meanwhile, and a terminal's Ctrl-X opens its menu. Its console is a second pair of pipes.
//
// s51 runs as fast as the host allows, several times faster than the chip, and times the UART, the
// timers and the program by the crystal in that simulated time. Left to run freely it would keep a
// core busy for as long as the chip runs, and the program's waits and the UART would run fast. So
// the session drives it in steps of a few milliseconds of simulated time (the console's "step"
// answers how many crystal periods ran) and holds it (SIGSTOP) whenever it is ahead of the wall
// clock, until the clock catches up: the program runs at the chip's speed and s51 takes only the
// share of a core that needs. Several steps are always queued on the console, because s51 sleeps a
// tenth of a second whenever it finds no command waiting (a stopped and continued sleep goes on). A
// host too slow for the crystal runs behind, and the session forgets the backlog rather than racing
// to catch up. (s51 -g would run freely, but then it reads the console and the UART only every
// million instructions or so.)
//
// s51 fetches a waiting byte into its UART only now and then (every million instructions or so) unless
// it looks for input at every cycle (uart0_check_often), which costs it about four times the host
// time. So the session has it look only while bytes written to the program may still be waiting.
#pragma once
#include "buffer/chip_kind.h"
#include "sim/s51_console.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class TChildProcess;

// What the program sent and nobody has read yet; shared by a target's owner and its sessions.
struct TS51Received {
    // Beyond this the bytes are lost, as on a port whose buffer nobody empties.
    static constexpr std::size_t Capacity = 64 * 1024;

    std::mutex Lock;
    std::condition_variable Arrived;
    std::string Bytes;
};

struct TS51Program {
    std::string Simulator; // the path of s51
    std::string HexFile;   // the code memory
    TChipKind Kind = TChipKind::AT89S52;
    std::vector<std::uint8_t> Data; // the data EEPROM's contents, where the chip has one
    double CrystalHz = 0;
};

class TS51Session {
public:
    TS51Session(TS51Received &received, TS51Program program);
    // Stops it.
    ~TS51Session();
    TS51Session(const TS51Session &) = delete;
    TS51Session &operator=(const TS51Session &) = delete;

    // Queues bytes for the program's UART; never waits.
    void Write(const std::string &bytes);
    // Ends the run and says what the data EEPROM holds then: what the program wrote into it, or what
    // it held at the start when s51 ended before it could be read. Empty without a data EEPROM.
    std::vector<std::uint8_t> Stop();

    // s51 ended (or never started) by itself, and why.
    bool Ended() const { return EndedAlone; }
    std::string Failure() const;
    std::optional<double> ProgramBaud() const;
    double SimulatedSeconds() const { return Simulated; }

private:
    using TClock = std::chrono::steady_clock;

    void WakeUp();
    void Run();
    void Launch();
    void Configure();
    void LoadEeprom();
    void Loop();
    void Finish();
    bool AwaitAnswers(std::chrono::milliseconds patience, bool stoppable);
    bool StopWanted() const;
    void AwaitSilence();
    void Service(int timeoutMs);
    void HandleAnswer(const TS51Answer &answer);
    void CountStep(const TS51Answer &answer);
    void ReadRegisters(const std::string &output);
    void ReadEeprom(const std::string &output);
    std::size_t StepsInFlight() const;
    void Pace();
    void TopUp();
    void SendStep();
    void SendRegisterRead();
    bool InputWaiting() const;
    void DrainOutput();
    void FlushInput();
    void TakeWakeUps();
    void Fail(const std::string &reason);
    void EndedByItself();
    int PollTimeout() const;

    TS51Received &Received;
    const TS51Program Program;
    const TChipInfo &Chip;

    mutable std::mutex StateLock; // guards the next four
    std::string Input;            // written by the owner, not yet taken by the thread
    std::string Trouble;
    std::optional<double> Baud;
    bool StopRequested = false;

    std::atomic<bool> EndedAlone{false};
    std::atomic<double> Simulated{0.0};
    std::vector<std::uint8_t> Data;

    const int Wake; // an eventfd: the owner wrote or asks to stop

    // Only the thread touches these.
    int UartIn = -1;    // our end of s51's UART input
    int UartOut = -1;   // s51's UART output
    std::unique_ptr<TS51Console> Console;
    std::unique_ptr<TChildProcess> Child;
    std::string Unsent;
    bool Greeted = false; // s51's startup notice has come
    std::uint64_t Ticks = 0;
    double TicksPerInstruction = 18;
    int StepsSinceRegisters = 0;
    bool Paused = false;
    double InputUntil = 0; // simulated time until which s51 looks for UART input at every cycle
    TClock::time_point Origin;   // the wall-clock time of simulated time 0
    TClock::time_point ResumeAt; // while paused
    TClock::time_point LastAnswer;

    std::thread Thread;
};
