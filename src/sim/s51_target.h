// The virtual chip running its program: the code memory runs in the s51 simulator (Debian package
// sdcc-ucsim) at the crystal's frequency, and the program's UART is a byte stream that the terminal
// reads and writes without ever waiting.
//
// The AT89S51 runs as an 8051, the others as an 8052; each with its second data pointer, and the
// AT89S8252 with its data EEPROM mapped over MOVX while EEMEN is set (TS51Session says what s51
// cannot do of that). The chip's other extras, its watchdog and its SPI port, are not simulated.
//
// Threads: Start, Stop, DataMemory and the destructor belong to one thread at a time (the owner's,
// or the programming thread while it holds RESET); everything else may be called from any thread at
// any time, also while the program starts or stops. Each run has a thread of its own, which is the
// one that talks to s51.
#pragma once
#include "sim/s51_session.h"
#include "sim/sim_image.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TS51Target {
public:
    // The crystal of the boards the examples are written for: 9600 baud exactly from timer 1.
    static constexpr double DefaultCrystalHz = 11059200.0;

    TS51Target() = default;
    // Stops the program and removes its files.
    ~TS51Target();
    TS51Target(const TS51Target &) = delete;
    TS51Target &operator=(const TS51Target &) = delete;

    // Runs the chip's code from reset, as when RESET is released; a running program is stopped
    // first. False, with Problem() saying why, when it cannot start (s51 is not installed, the
    // crystal is no frequency, the program's file cannot be written): nothing runs then.
    bool Start(const TSimImage &chip, double crystalHz = DefaultCrystalHz);
    // Stops the program, as RESET held, an operation or closing the port does. What it wrote into
    // the data EEPROM is DataMemory() from then on.
    void Stop();
    bool Running() const;
    // Why no program runs: it could not start, or s51 ended by itself. Empty otherwise.
    std::string Problem() const;

    // Sends bytes to the program's UART; bytes for a chip that does not run are lost, as on a line.
    void Write(const std::string &bytes);
    // What the program has sent since the last call; empty when nothing. Kept across Stop and Start,
    // as a port keeps what it received.
    std::string ReadQueued();
    int InCount();
    // Waits until the program has sent something not read yet, or the time is up.
    bool WaitForOutput(std::chrono::milliseconds timeout);

    // The rate the program's UART sends at, as its registers set it up; nothing before it has done
    // so, and while it does not run.
    std::optional<double> ProgramBaud() const;
    // How long the program has run in its own time since it started.
    double SimulatedSeconds() const;
    // The data EEPROM as the program left it when it last stopped (as loaded before the first run);
    // empty on the chips without one.
    const std::vector<std::uint8_t> &DataMemory() const { return Data; }

private:
    std::string WriteProgram(const TSimImage &chip, std::string &hexFile);
    void SetTrouble(std::string text);

    TS51Received Received;
    mutable std::mutex Lock; // guards the next two
    std::unique_ptr<TS51Session> Session;
    std::string Trouble;
    std::string Folder; // private, made at the first start
    std::vector<std::uint8_t> Data;
};

// What Problem() says when s51 is not installed.
extern const char *const S51MissingText;
