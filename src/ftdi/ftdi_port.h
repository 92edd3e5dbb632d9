// A USB-RS232 cable's own FTDI chip driven directly: its UART for the terminal, its synchronous
// bit-bang mode for the ISP link. In bit-bang mode each byte sent sets the eight UART pins for one
// sample period and the pins come back sampled in the same stream, so the link's line changes are
// collected into a waveform and sent only when an input must be known, before a long wait, or when
// much has gathered.
//
// Pins by RS232 name (FTDI AN232R-01): TXD D0, RXD D1, RTS D2, CTS D3, DTR D4, DSR D5, DCD D6, RI D7.
// A cable's transceiver inverts, so a line that is on (RTS set, break, CTS on) is a low pin; the
// link's own inversion settings still apply on top.
#pragma once
#include "ftdi/ftdi_driver.h"
#include "link/port_back_end.h"
#include "link/tty_driver.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct TSettings;

// "ftdi" (the first device), "ftdi:" + libftdi's device string, either with "@A".."@D" for one
// interface of a multi-port chip.
struct TFtdiName {
    std::string Description;
    int Interface = 0; // 0 any, 1..4 = A..D
};
bool IsFtdiPortName(const std::string &name);
TFtdiName ParseFtdiName(const std::string &name);
// The name that opens this device (by serial number where it has one, as that survives replugging),
// and the line a listing shows for it.
std::string FtdiPortString(const TFtdiDeviceInfo &device);
std::string FtdiDeviceLine(const TFtdiDeviceInfo &device);
// The name that drives the FTDI cable behind a terminal device (driver ftdi_sio) through this port
// instead; empty for any other device.
std::string FtdiPortStringFor(const TTtyDriver &tty);

// The rate the chip makes samples at and the value libftdi is given for it.
struct TBitBangRate {
    int SampleRate;
    int LibFtdiBaud;
};
// Never faster than DefaultSampleRate, and each sample lasts at least half the clock delay.
constexpr int DefaultSampleRate = 120000;
TBitBangRate BitBangRateFor(double clockDelayMs);

// What the port has cost so far, for the benchmark's model of a USB cable.
struct TFtdiStats {
    std::uint64_t Transfers = 0;       // bulk round trips of the waveform
    std::uint64_t ControlRequests = 0; // mode, rate, line and latency settings
    std::uint64_t BytesOut = 0;
    std::uint64_t BytesIn = 0;
    double StreamSeconds = 0;   // the samples sent, at their rate
    double HostWaitSeconds = 0; // waits made on the host after sending
    std::uint64_t Samples = 0;  // deferred input samples served

    // Every round trip at the given latency, plus the stream and the host's waits.
    double ModelledSeconds(double latencySeconds) const
    {
        return static_cast<double>(Transfers + ControlRequests) * latencySeconds + StreamSeconds + HostWaitSeconds;
    }
};

class TFtdiPort final : public TPortBackEnd {
public:
    // name: as the settings give it (see TFtdiName). The clock delay is read at every switch into
    // bit-bang mode, so the settings must outlive the port.
    TFtdiPort(std::unique_ptr<TFtdiDriver> driver, const std::string &name, const TSettings &settings);
    TFtdiPort(std::unique_ptr<TFtdiDriver>, const std::string &, const TSettings &&) = delete;
    ~TFtdiPort() override;
    TFtdiPort(const TFtdiPort &) = delete;
    TFtdiPort &operator=(const TFtdiPort &) = delete;

    bool Open(const TLineParams &params) override;
    void Close() override;
    bool Opened() const override;
    std::string OpenError() const override;
    void SetLineParams(const TLineParams &params) override;
    bool Write(const std::string &text) override;
    std::string ReadQueued() override;
    int InCount() override;

    // The serial port component's line calls apply in the mode the chip is in: in UART mode as its
    // modem-control and break requests, so the terminal can clear the break without leaving it.
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

    // The lines for the ISP link: each call puts the chip into bit-bang mode first.
    TLineInterface &BitBang();

    // Why the port was lost; empty while it works.
    std::string LostReason() const;
    TFtdiStats Stats() const;
    // Where the waveform has got to, in microseconds of the chip's own timing (for the line trace).
    std::int64_t WaveformMicroseconds() const;
    TFtdiDriver &Driver() { return *Chip; }

private:
    class TBitBangLines;
    enum class TMode { Closed, Uart, BitBang };
    struct TRequest {
        std::uint64_t ReadIndex; // the pin sample that answers it
        std::uint8_t Pin;        // 0: no input line, reads off
    };

    bool Control(bool ok);
    void Lose();
    std::uint8_t Pins() const;
    bool EnterBitBang();
    bool EnterUart();
    void PollUart();
    void Drive(std::uint8_t pin);
    void ApplyInUart(std::uint8_t pin);
    void Queue(int line);
    bool Take();
    void Idle(double seconds);
    void Send();
    bool Input(int line);
    void BitBangWait(std::unique_lock<std::mutex> &lock, double ms, TDelay delay);

    std::unique_ptr<TFtdiDriver> Chip;
    std::string Name;
    TFtdiName Target;
    const TSettings &Cfg;
    std::unique_ptr<TBitBangLines> LinkLines;
    mutable std::mutex Lock;

    TMode Mode = TMode::Closed;
    TLineParams Params;
    bool BreakOn = false;
    bool RtsOn = false;
    bool DtrOn = false;
    std::string OpenProblem;
    std::string LostText;
    bool Lost = false;
    std::string Received;

    // The output latch keeps the last byte sent in bit-bang mode across UART mode.
    bool LatchKnown = false;
    std::uint8_t Latch = 0;

    double Period = 1.0 / DefaultSampleRate; // seconds per sample
    std::vector<std::uint8_t> Waveform;      // queued, not sent
    std::uint64_t Sent = 0;                  // stream index of Waveform[0]
    bool SampleOpen = false;                 // the last queued sample may still take changes
    std::uint8_t SetInSample = 0;            // pins already set in it
    double Slack = 0;                        // how much longer than the waits so far the last sample lasts
    std::deque<TRequest> Requests;
    std::deque<bool> Answers;
    TFtdiStats Counters;
};
