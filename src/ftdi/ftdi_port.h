// A USB-RS232 cable's own FTDI chip driven directly: its UART for the terminal, its synchronous
// bit-bang mode for the ISP link. In bit-bang mode each byte sent sets the eight UART pins for one
// sample period and the pins come back sampled in the same stream, so the link's line changes are
// collected into a waveform and sent only when an input must be known, before a long wait, or when
// much has gathered.
//
// Pins by RS232 name (FTDI AN232R-01): TXD D0, RXD D1, RTS D2, CTS D3, DTR D4, DSR D5, DCD D6, RI D7.
// A cable's transceiver inverts, so a line that is on (RTS set, break, CTS on) is a low pin; on a
// TTL-level cable it is a high one. The link's own inversion settings still apply on top.
//
// What the port does not take on trust: the sample rate is measured at open on the chip's clock
// (waits are built from it, a chip faster than asked is refused); every sample read back must echo
// the outputs written one sample before; the chip's bit mode is reset at every open; and the switches
// between the modes move no line the link did not move (see EnterBitBang and EnterUart).
#pragma once
#include "ftdi/ftdi_driver.h"
#include "ftdi/ftdi_names.h"
#include "ftdi/sample_rate.h"
#include "link/port_back_end.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct TSettings;

// What the port has cost so far, for the benchmark and the line trace.
struct TFtdiStats {
    std::uint64_t Transfers = 0;       // bulk round trips of the waveform
    std::uint64_t ControlRequests = 0; // mode, rate, line and latency settings, modem status
    double StreamSeconds = 0;          // the samples sent, at their measured rate
    double HostWaitSeconds = 0;        // waits made on the host after sending
};

// The sample rate found at open: what the port asked for, what the chip made, and the value libftdi
// was given for it in the end.
struct TFtdiRate {
    std::string Chip;
    int Asked = 0;
    double Measured = 0;
    int LibFtdiBaud = 0;
    std::string Warning; // what the open could not check
};
// "FTDI chip FT232R: 120000 samples/s measured, 120000 asked for (libftdi baud 1875)", and the
// warning on a line of its own.
std::string FtdiRateLine(const TFtdiRate &rate);

class TFtdiPort final : public TPortBackEnd {
public:
    // name: as the settings give it (see TFtdiName). The settings (wiring, clock delay) are read at
    // open and at every switch into bit-bang mode, so they must outlive the port.
    TFtdiPort(std::unique_ptr<TFtdiDriver> driver, const std::string &name, const TSettings &settings);
    TFtdiPort(std::unique_ptr<TFtdiDriver>, const std::string &, const TSettings &&) = delete;
    ~TFtdiPort() override;
    TFtdiPort(const TFtdiPort &) = delete;
    TFtdiPort &operator=(const TFtdiPort &) = delete;

    // Puts the lines at rest (as the link's IdleLines leaves them) and measures the sample rate.
    bool Open(const TLineParams &params) override;
    // Leaves the chip in UART mode for the kernel's driver, the lines where they are.
    void Close() override;
    bool Opened() const override;
    std::string OpenError() const override;
    void SetLineParams(const TLineParams &params) override;
    bool Write(const std::string &text) override;
    std::string ReadQueued() override;
    int InCount() override;
    bool KeepsState() const override { return true; }

    // The serial port component's line calls, with a UART's meaning (break: TXD low; RTS, DTR on: a
    // low pin), applied in the mode the chip is in: in UART mode as its modem-control and break
    // requests, so the terminal can clear the break without leaving it.
    void SetBreak(bool level) override;
    void SetRts(bool level) override;
    void SetDtr(bool level) override;
    bool GetCTS() override { return Input(0); }
    bool GetDSR() override { return Input(1); }
    bool GetRLSD() override { return Input(2); }
    bool GetRI() override { return Input(3); }
    void QueueSample(int line) override;
    bool TakeSample() override;
    void Wait(double ms, TDelay delay) override;
    void Flush() override;
    bool PortLost() const override;

    // The lines for the ISP link: each call puts the chip into bit-bang mode first. Once the lines
    // are at rest (RESET inactive) the target runs and may talk, so a wait or a flush then hands
    // the chip back to the UART.
    TLineInterface &BitBang();

    // Why the port was lost; empty while it works.
    std::string LostReason() const;
    TFtdiStats Stats() const;
    TFtdiRate Rate() const;
    // Where the waveform has got to, in microseconds of the chip's own timing (for the line trace).
    std::int64_t WaveformMicroseconds() const;

private:
    class TBitBangLines;
    enum class TMode { Closed, Uart, BitBang };
    struct TRequest {
        std::uint64_t ReadIndex; // the pin sample that answers it
        std::uint8_t Pin;        // 0: no input line, reads off
        bool HighIsOn;           // a TTL cable's line, as the link sees it
    };

    std::string Setup();
    std::string WiringProblem(const TFtdiOpenResult &chip) const;
    bool Control(bool ok);
    void Lose(const std::string &why = {});
    std::uint8_t Pins() const;
    std::uint8_t RestLevels() const;
    void SetPin(std::uint8_t pin, bool high);
    bool LinkLevel(int line) const;
    bool TargetRunsAtRest() const;
    bool SendUart(std::uint8_t levels, std::uint8_t pins);
    bool ApplyUart(std::uint8_t levels);
    bool Measure();
    std::optional<std::vector<TSampleArrival>> TimedSamples(std::size_t samples, int slowestRate);
    bool SwitchToBitBang(int baud);
    bool EnterBitBang();
    bool EnterUart();
    bool TransmitterEmpty();
    void PollUart();
    void Drive(std::uint8_t pin);
    void SetLine(std::uint8_t pin, bool high);
    void Queue(int line, bool highIsOn);
    bool Take();
    void Idle(double seconds);
    void Send();
    bool EchoMatches(const std::vector<std::uint8_t> &out, const std::vector<std::uint8_t> &in) const;
    bool Input(int line);
    void BitBangWait(std::unique_lock<std::mutex> &lock, double ms);

    std::unique_ptr<TFtdiDriver> Chip;
    std::string Name;
    TFtdiName Target;
    const TSettings &Cfg;
    std::unique_ptr<TBitBangLines> LinkLines;
    mutable std::mutex Lock;

    TMode Mode = TMode::Closed;
    TLineParams Params;
    TFtdiOpenResult Device;
    std::string OpenProblem;
    std::string LostText;
    bool Lost = false;
    std::string Received;
    bool Written = false; // bytes handed to the UART since the last switch into bit-bang mode
    bool ParamsPending = false; // line parameters changed in bit-bang mode, for the UART to take

    std::uint8_t Levels = 0xFF;     // what TXD, RTS and DTR are to carry; a set bit is a high pin
    std::uint8_t UartLevels = 0xFF; // what the UART's registers hold, as last set in UART mode
    std::uint8_t Latch = 0;         // the bit-bang latch of the outputs, where LatchKnown says
    std::uint8_t LatchKnown = 0;
    std::uint8_t Mask = 0; // the outputs while in bit-bang mode

    TFtdiRate Measured;
    int Baud = 0;                             // libftdi's value for the measured rate
    double Period = 1.0 / DefaultSampleRate; // seconds per sample, as measured
    std::vector<std::uint8_t> Waveform;      // queued, not sent
    std::uint64_t Sent = 0;                  // stream index of Waveform[0]
    bool SampleOpen = false;                 // the last queued sample may still take changes
    std::uint8_t SetInSample = 0;            // pins already set in it
    double Slack = 0;                        // how much longer than the waits so far the last sample lasts
    std::deque<TRequest> Requests;
    std::deque<bool> Answers;
    TFtdiStats Counters;
};
