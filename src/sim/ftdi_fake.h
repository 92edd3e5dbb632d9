// libftdi's calls answered the way an FTDI cable's chip answers them, with the passive adapter and the
// virtual chip behind its UART pins, so the ftdi port runs end to end without a cable.
//
// In synchronous bit-bang mode each byte of a transfer is one sample: the chip reads the pins first
// and then drives the byte, so the bytes read run one behind the bytes written. The virtual chip
// lives on the fake's own clock, which moves one sample period per byte and by the time that passes
// on the host between calls, so its write cycles see the waveform's timing however fast the fake
// runs. Outputs that are
// no outputs in the bit-bang mask float high (the chip's pull-ups); the latch starts at 00, so a
// switch that drives unset outputs shows up as a glitch in PinHistory().
#pragma once
#include "ftdi/ftdi_driver.h"
#include "sim/virtual_adapter.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TVirtualChip;

class TFtdiFake final : public TFtdiDriver {
public:
    using TClock = std::chrono::steady_clock;
    struct TPinState {
        double Seconds;    // on the chip's clock, since the fake was made
        std::uint8_t Pins; // TXD D0, RTS D2, DTR D4; low = line on
    };

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
    bool SetFlowControlOff() override { return Alive(); }
    bool SetLatencyTimer(int) override { return Alive(); }
    bool PurgeReceived() override;
    std::optional<std::uint16_t> ModemStatus() override;
    bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size) override;
    bool Write(const std::uint8_t *data, std::size_t size) override;
    int Read(std::uint8_t *data, std::size_t size) override;
    std::string Error() const override { return LastError; }
    std::vector<TFtdiDeviceInfo> Devices() override { return Present; }

    // ---- what a test sets ----
    TFtdiOpenResult OpenAnswer;          // what Open says
    std::vector<TFtdiDeviceInfo> Present; // what Devices lists
    // The cable is pulled out after this many more bit-bang transfers: every call fails from then on.
    void UnplugAfter(int transfers) { TransfersLeft = transfers; }
    // Bytes the target sends; they arrive at the UART.
    void Receive(const std::string &bytes) { Incoming += bytes; }

    // ---- what a test reads ----
    bool IsOpen() const { return Opened; }
    bool InBitBang() const { return BitBang; }
    const std::string &Description() const { return OpenedDescription; }
    int InterfaceIndex() const { return OpenedInterface; }
    int UartBaud() const { return Baud; }
    const TLineParams &LineParams() const { return Params; }
    // Samples per second in bit-bang mode: libftdi's rate times four, clocked sixteen times over.
    int SampleRate() const { return BitBangBaud * 64; }
    const std::string &Sent() const { return Outgoing; }
    // Every distinct state of the output pins, in order.
    const std::vector<TPinState> &PinHistory() const { return History; }
    int Transfers() const { return TransferCount; }

private:
    bool Alive();
    std::uint8_t OutputPins() const;
    std::uint8_t ReadPins();
    void Drive();
    void CatchUp();

    TVirtualAdapter Adapter;
    TVirtualChip &Chip;
    TClock::time_point Made;
    TClock::time_point ChipTime;
    TClock::time_point LastCall;
    bool Opened = false;
    bool Unplugged = false;
    std::optional<int> TransfersLeft;
    std::string LastError;
    std::string OpenedDescription;
    int OpenedInterface = 0;

    bool BitBang = false;
    std::uint8_t Mask = 0;
    std::uint8_t Latch = 0x00;
    int BitBangBaud = 0;
    int Baud = 9600;
    TLineParams Params;
    bool BreakOn = false;
    bool DtrOn = false;
    bool RtsOn = false;

    std::string Incoming;
    std::string Outgoing;
    std::vector<TPinState> History;
    int TransferCount = 0;
};
