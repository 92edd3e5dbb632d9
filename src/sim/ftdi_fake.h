// libftdi's calls answered the way an FTDI cable's chip answers them, with the passive adapter and the
// virtual chip behind its UART pins, so the ftdi port runs end to end without a cable.
//
// What it takes for granted, with a switch for each other reading the documents leave open:
// - Synchronous bit-bang: each byte of a transfer is one sample; the chip reads the pins first and
//   then drives the byte, so the bytes read run one behind the bytes written (AN232R-01).
// - Samples per second: 16 times the baud-rate generator, which libftdi sets to four times the rate
//   it is given while its context knows of a bit-bang mode. RateFactor scales that for chips that
//   clock otherwise (1/4, 1/16 or 1/64 as fast, or twice as fast). USB keeps up with any rate, unless
//   UsbSamplesPerSecond caps it: then the chip pauses between samples.
// - A pin that is no output in the bit-bang mask floats high (the chip's pull-ups).
// - The latch keeps the last byte written in bit-bang mode across UART mode and across opens; at
//   power-up it holds 00. LatchWhileInput: whether a byte written while a pin is an input
//   reaches that pin's latch.
// - ModemInBitBang: whether modem control and break set in bit-bang mode act when UART mode returns,
//   or are lost, the UART coming back with what was last set in UART mode.
// - The chip keeps its mode, latch and registers across a close and an open, and libftdi's bit-bang
//   flag (which multiplies a baud rate by four) survives with its context, as when a context is
//   reused; only a switch to UART mode clears it.
// - UART: bytes written wait in a 256-byte buffer and leave at the baud rate, and what is still there
//   when bit-bang mode comes on is clocked out as pin data ahead of the next transfer. Bytes received
//   arrive at the baud rate into a 128-byte buffer; without a read pending on the host the surplus is
//   lost, as is everything that arrives in bit-bang mode. (The FT232R's datasheet gives the two sizes
//   the other way round; the sizes taken make each test the harder one.)
// - Time: a virtual clock, moved one sample period per sample, a round trip per transfer, a little
//   per control request, by Advance, and by the host's own time between calls unless SetHostTime(false)
//   (tests turn it off, so that nothing depends on real time).
// - An RS232 cable: a line that is on is a low pin, through the transceiver. Ttl: no transceiver, a
//   line that is on is a high pin.
#pragma once
#include "ftdi/ftdi_driver.h"
#include "sim/virtual_adapter.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TVirtualChip;

class TFtdiFake final : public TFtdiDriver {
public:
    struct TPinState {
        double Seconds;    // on the fake's clock, since it was made
        std::uint8_t Pins; // TXD D0, RTS D2, DTR D4
    };
    enum class TLatchReading { Taken, Ignored };
    enum class TModemReading { Kept, Dropped };

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
    bool Write(const std::uint8_t *data, std::size_t size) override;
    int Read(std::uint8_t *data, std::size_t size) override;
    bool StartReading() override;
    void StopReading() override { Reading = false; }
    std::string Error() const override { return LastError; }
    std::vector<TFtdiDeviceInfo> Devices() override { return Present; }
    TClock::time_point Now() override;

    // ---- what a test sets ----
    TFtdiOpenResult OpenAnswer;           // a refusal, or the chip an open finds
    std::vector<TFtdiDeviceInfo> Present; // what Devices lists
    double RateFactor = 1.0;
    double UsbSamplesPerSecond = 0; // 0: no limit
    TLatchReading LatchWhileInput = TLatchReading::Taken;
    TModemReading ModemInBitBang = TModemReading::Kept;
    bool Ttl = false;
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
    // An output line shorted to a level: the pin, the adapter and the samples all show that level.
    void ShortPin(std::uint8_t pin, bool high) { Short = {pin, high}; }
    // Input line (0 CTS .. 3 RI) on exactly at the samples the function names (their index is
    // Samples() as it stood when each was read), instead of as the chip drives it.
    void ScriptInput(int line, std::function<bool(std::uint64_t sample)> on) { Script[line] = std::move(on); }
    // Bytes the target sends: at once, or from a moment on at a baud rate.
    void Receive(const std::string &bytes) { ReceiveAt(0, bytes, 0); }
    void ReceiveAt(double afterSeconds, const std::string &bytes, int baud);

    // ---- what a test reads ----
    bool IsOpen() const { return Opened; }
    bool InBitBang() const { return BitBang; }
    const std::string &Description() const { return OpenedDescription; }
    int InterfaceIndex() const { return OpenedInterface; }
    int UartBaud() const { return Generator; }
    const TLineParams &LineParams() const { return Params; }
    double SampleRate() const { return RateFactor * 16 * Generator; }
    const std::string &Sent() const { return Outgoing; }
    // Every distinct state of the output pins, in order.
    const std::vector<TPinState> &PinHistory() const { return History; }
    int Transfers() const { return TransferCount; }
    std::uint64_t Samples() const { return SampleCount; }
    double StreamSeconds() const { return SampleSeconds; }
    std::size_t BytesLost() const { return Lost; }
    // The timeout each transfer was given.
    const std::vector<double> &Timeouts() const { return AskedTimeouts; }

private:
    struct TFault {
        int Transfers;
        std::size_t Index;
    };

    bool Alive();
    bool Request();
    std::uint8_t OutputPins() const;
    std::uint8_t ReadPins();
    void Drive();
    void Clock(std::uint8_t byte, bool drive);
    void CatchUp();
    void Pass(double seconds);
    void Settle();
    double CharacterSeconds() const;
    static bool Due(std::optional<TFault> &fault, std::size_t index);

    TVirtualAdapter Adapter;
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

    bool BitBang = false;
    bool ContextBitBang = false;
    std::uint8_t Mask = 0;
    std::uint8_t Latch = 0x00;
    int Generator = 9600;
    TLineParams Params;
    bool BreakOn = false;
    bool DtrOn = false;
    bool RtsOn = false;

    std::string Outgoing;
    std::size_t Unsent = 0;
    double NextSent = 0; // when the next byte written has left
    std::deque<std::pair<double, char>> Incoming;
    std::string ChipBuffer;
    std::string HostBuffer;
    bool Reading = false;
    std::size_t Lost = 0;

    std::deque<std::uint8_t> ReadQueue; // samples read, not yet returned
    std::optional<TFault> Extra;
    std::optional<TFault> Dropped;
    std::optional<std::pair<std::uint8_t, bool>> Short;
    std::array<std::function<bool(std::uint64_t)>, 4> Script;
    std::uint64_t SampleCount = 0;
    double SampleSeconds = 0;
    std::vector<double> AskedTimeouts;
    std::vector<TPinState> History;
    int TransferCount = 0;
};
