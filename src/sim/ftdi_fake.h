// The port's driver calls (TFtdiDriver) answered the way an FTDI cable's chip answers them, with the
// passive adapter and the virtual chip behind its UART pins (TFtdiPins, which names the readings of
// the pins it takes and their switches), so the ftdi port runs end to end without a cable. It sits
// above libftdi: the port's own code below that runs on the model of the USB bus (ftdi_bus.h).
//
// What it takes for granted besides the pins, with a switch for each other reading the documents
// leave open:
// - Samples per second: 16 times the baud-rate generator, which libftdi sets to four times the rate
//   it is given while its context knows of a bit-bang mode. RateFactor scales that for chips that
//   clock otherwise (1/4, 1/16 or 1/64 as fast, or twice as fast). USB keeps up with any rate, unless
//   UsbSamplesPerSecond caps it: then the chip pauses between samples.
// - The chip keeps its mode, latch and registers across a close and an open, and libftdi's bit-bang
//   flag (which multiplies a baud rate by four) survives with its context, as when a context is
//   reused; only a switch to UART mode clears it.
// - UART: bytes written wait in a 256-byte buffer and leave at the baud rate, and what is still there
//   when bit-bang mode comes on is clocked out as pin data ahead of the next transfer. Bytes received
//   arrive at the baud rate into a 128-byte buffer; without a read pending on the host the surplus is
//   lost, as is everything that arrives in bit-bang mode. (The FT232R's datasheet gives the two sizes
//   the other way round; the sizes taken make each test the harder one.) A program running in the
//   chip behind the cable (SetPeer) gets each byte as it is written, and what it sends arrives at the
//   next call, by the same rules; the program keeps its own time, the wall clock.
// - Time: a virtual clock, moved one sample period per sample, a round trip per transfer, a little
//   per control request, by Advance and Sleep, and by the host's own time between calls unless
//   SetHostTime(false) (tests turn it off, so that nothing depends on real time). A transfer's reads
//   come back a packet of 62 samples at a time (or what 1 ms of sampling made, the latency timer), each
//   as soon as its last sample was taken.
#pragma once
#include "ftdi/ftdi_driver.h"
#include "sim/ftdi_pins.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TVirtualChip;
class TVirtualSerial;

class TFtdiFake final : public TFtdiDriver {
public:
    using TLatchReading = TFtdiPins::TLatchReading;
    using TModemReading = TFtdiPins::TModemReading;

    // The adapter is wired as the settings say, read again at every change.
    TFtdiFake(TVirtualChip &chip, const TSettings &settings);
    TFtdiFake(TVirtualChip &, const TSettings &&) = delete;
    ~TFtdiFake() override;

    TFtdiOpenResult Open(const std::string &description, int interfaceIndex) override;
    void Close() override;
    bool SetBitMode(std::uint8_t outputs, bool syncBitBang) override;
    bool SetBaudRate(int baud) override;
    bool SetLineProperty(const TLineParams &params, bool breakOn) override;
    bool SetModemControl(bool dtr, bool rts) override;
    bool SetFlowControlOff() override { return Request(); }
    bool SetLatencyTimer(int) override { return Request(); }
    bool PurgeReceived() override;
    std::optional<std::uint16_t> ModemStatus() override;
    bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds) override;
    const std::vector<TFtdiArrival> &Arrivals() const override { return Landed; }
    bool Write(const std::uint8_t *data, std::size_t size) override;
    int Read(std::uint8_t *data, std::size_t size) override;
    bool StartReading() override;
    void StopReading() override { Reading = false; }
    std::string Error() const override { return LastError; }
    std::vector<TFtdiDeviceInfo> Devices() override { return Present; }
    TClock::time_point Now() override;
    void Sleep(double seconds) override;

    // ---- what a test sets ----
    TFtdiOpenResult OpenAnswer;           // a refusal, or the chip an open finds
    std::vector<TFtdiDeviceInfo> Present; // what Devices lists
    double RateFactor = 1.0;
    double UsbSamplesPerSecond = 0; // 0: no limit
    TFtdiPins Pins;                 // its readings, shorts and scripted inputs
    void SetHostTime(bool counts);
    void Advance(double seconds);
    // The cable is pulled out after this many more bit-bang transfers: every call fails from then on.
    void UnplugAfter(int transfers) { TransfersLeft = transfers; }
    // The chip stops answering transfers after this many more (still plugged in): each one takes
    // its whole timeout and fails.
    void WedgeAfter(int transfers) { AnswersLeft = transfers; }
    // As a killed process leaves the chip: in synchronous bit-bang mode with these outputs.
    void LeaveInBitBang(std::uint8_t outputs, std::uint8_t latch);
    // In the transfer after this many more, at byte index: the chip reads the pins once more before
    // it drives the byte (AddSample), or never drives the byte (DropSample).
    void AddSample(int transfers, std::size_t index) { Extra = {transfers, index}; }
    void DropSample(int transfers, std::size_t index) { Dropped = {transfers, index}; }
    // Bytes the target sends: at once, or from a moment on at a baud rate.
    void Receive(const std::string &bytes) { ReceiveAt(0, bytes, 0); }
    void ReceiveAt(double afterSeconds, const std::string &bytes, int baud);
    // The target's serial port behind the cable's UART pins.
    void SetPeer(TVirtualSerial *peer) { Peer = peer; }

    // ---- what a test reads ----
    bool IsOpen() const { return Opened; }
    bool InBitBang() const { return Pins.BitBang(); }
    const std::string &Description() const { return OpenedDescription; }
    int InterfaceIndex() const { return OpenedInterface; }
    int UartBaud() const { return Generator; }
    const TLineParams &LineParams() const { return Params; }
    double SampleRate() const { return RateFactor * 16 * Generator; }
    const std::string &Sent() const { return Outgoing; }
    // Every distinct state of the output pins, in order.
    const std::vector<TFtdiPins::TPinState> &PinHistory() const { return Pins.History(); }
    int Transfers() const { return TransferCount; }
    std::uint64_t Samples() const { return Pins.Samples(); }
    double StreamSeconds() const { return SampleSeconds; }
    std::size_t BytesLost() const { return Lost; }
    // The timeout each transfer was given; every wait made on the host, in seconds.
    const std::vector<double> &Timeouts() const { return AskedTimeouts; }
    const std::vector<double> &Sleeps() const { return Slept; }

private:
    struct TFault {
        int Transfers;
        std::size_t Index;
    };

    bool Alive();
    bool Request();
    void Clock(std::uint8_t byte, bool drive);
    void CatchUp();
    void Pass(double seconds);
    void Settle();
    void Arrive(char c);
    double CharacterSeconds() const;
    static bool Due(std::optional<TFault> &fault, std::size_t index);

    TVirtualChip &Chip;
    TClock::time_point Made;
    double Elapsed = 0; // the fake's clock, in seconds since Made
    TClock::time_point LastCall;
    bool HostTime = true;
    bool Opened = false;
    bool Unplugged = false;
    std::optional<int> TransfersLeft;
    std::optional<int> AnswersLeft;
    std::string LastError;
    std::string OpenedDescription;
    int OpenedInterface = 0;

    bool ContextBitBang = false;
    int Generator = 9600;
    TLineParams Params;

    std::string Outgoing;
    std::size_t Unsent = 0;
    double NextSent = 0; // when the next byte written has left
    std::deque<std::pair<double, char>> Incoming;
    std::string ChipBuffer;
    std::string HostBuffer;
    bool Reading = false;
    std::size_t Lost = 0;
    TVirtualSerial *Peer = nullptr;

    std::deque<std::uint8_t> ReadQueue; // samples read, not yet returned
    std::optional<TFault> Extra;
    std::optional<TFault> Dropped;
    double SampleSeconds = 0;
    std::vector<double> AskedTimeouts;
    std::vector<double> Slept;
    std::vector<TFtdiArrival> Landed;
    int TransferCount = 0;
};
