// A cable's FT232R-class chip on a full-speed USB bus, answering the libusb and libftdi1 calls the
// port's libftdi driver makes (TFtdiUsb), so that the driver's own code (its transfers, its
// completion loop, the packets' status bytes, the UART reads, the drain) runs as on a real bus. The
// passive adapter and the virtual chip sit behind the UART pins (TFtdiPins, which names the
// readings of the pins it takes), and a target may talk to the UART. Time is a virtual clock that
// moves only when the driver waits (for events, in a sleep, in a request), so nothing depends on
// real time; RealTime follows the host's clock instead (for a benchmark of processor time).
//
// What it takes for granted (hardware.md), with a switch for each other reading:
// - Completions reach the host on 1 ms frames (FrameSeconds; 0: at once), each up to Jitter later
//   still (a busy hub, a loaded machine), in the order the chip completed them. Load: the event
//   handler returns up to that much after running the completions' callbacks (the thread was
//   preempted), so what a caller sees after the handler is later than the completions themselves.
// - Every IN packet is PacketSize (64) bytes at most and begins with the two modem-status bytes.
//   While data flows the chip sends only full packets; when its latency timer runs out it sends what
//   it has in a short packet, down to the status bytes alone (EmptyPackets Sent; Withheld: a chip
//   that then sends nothing), and a short packet ends a transfer.
// - Samples per second: 16 times the baud-rate generator, which libftdi sets to four times the rate
//   it is given while its context knows of a bit-bang mode; RateFactor scales that for chips that
//   clock otherwise (1/4, 1/16, 1/64, or twice as fast).
// - The receive buffer holds ReceiveBuffer (256) bytes, the transmit buffer TransmitBuffer (128),
//   as the FT232R datasheet gives them. In synchronous bit-bang mode the chip clocks one sample per
//   byte from the host and stops while its receive buffer is full; a byte from the target that
//   finds it full is lost, as is everything the target sends while the chip is in bit-bang mode.
// - At a switch into bit-bang mode the receive buffer keeps what it holds (ReceiveAtSwitch Kept) or
//   is emptied (Cleared).
// - A cancelled transfer comes back at the next frame with what it had received (Cancelled
//   KeepsData), with nothing (LosesData), or never (NeverComes; an unplug still ends it).
// - A control request takes RequestSeconds (a frame) and, like libusb's synchronous calls, runs the
//   completions that come due meanwhile.
// - Unplugged, every transfer out comes back with LIBUSB_TRANSFER_NO_DEVICE and every later call
//   fails; plugged in again, the chip is powered up afresh at a new address.
// - A wedged chip takes and sends no more bulk data (it keeps answering control requests).
#pragma once
#include "ftdi/ftdi_usb.h"
#include "link/tty_device.h"
#include "sim/ftdi_pins.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

class TVirtualChip;
struct TSettings;

class TFtdiBus final : public TFtdiUsb {
public:
    enum class TEmptyPackets { Sent, Withheld };
    enum class TCancelled { KeepsData, LosesData, NeverComes };
    enum class TReceiveAtSwitch { Kept, Cleared };

    TFtdiBus(TVirtualChip &chip, const TSettings &settings, unsigned seed = 1);
    TFtdiBus(TVirtualChip &, const TSettings &&, unsigned = 1) = delete;
    ~TFtdiBus() override;
    TFtdiBus(const TFtdiBus &) = delete;
    TFtdiBus &operator=(const TFtdiBus &) = delete;

    // ---- what a test sets ----
    TFtdiPins Pins;
    double RateFactor = 1.0;
    double FrameSeconds = 0.001;
    double Jitter = 0;
    double Load = 0;
    double RequestSeconds = 0.001;
    std::size_t PacketSize = 64;
    std::size_t ReceiveBuffer = 256;
    std::size_t TransmitBuffer = 128;
    TEmptyPackets EmptyPackets = TEmptyPackets::Sent;
    TCancelled Cancelled = TCancelled::KeepsData;
    TReceiveAtSwitch ReceiveAtSwitch = TReceiveAtSwitch::Kept;
    bool RealTime = false;
    std::uint8_t Inverted = 0;       // the EEPROM's inversion bits
    bool ClaimedElsewhere = false;   // another program holds the interface
    std::string Sysfs = "/nonexistent-sysfs";
    std::string Proc = "/nonexistent-proc";

    // A target that prints numbered lines at bytesPerSecond from a moment on, until another (or
    // for good), as long as RESET lets it run.
    void Talk(double bytesPerSecond, double from = 0, double until = 1e9);
    // Bytes the target sends, one every 10 bits at baud from a moment on (at once with baud 0).
    void Receive(const std::string &bytes, double after = 0, int baud = 0);
    void Unplug();
    void PlugIn();
    // The chip takes and sends no more bulk data once this many more bit-bang transfers have started.
    void WedgeAfter(int transfers) { WedgeIn = transfers; }
    // Moves the clock, running the bus meanwhile (completions wait for the next event handling).
    void Advance(double seconds);

    // ---- what a test reads ----
    double Seconds() const { return T; }
    bool InBitBang() const { return Pins.BitBang(); }
    int UartBaud() const { return Generator; }
    // The rate the chip clocked its last bit-bang sample at.
    double SampleRate() const { return LastRate; }
    // What reached the chip's UART from the target while the UART was listening, in order.
    const std::string &Heard() const { return HeardText; }
    // Target bytes lost in the chip: sent during bit-bang mode, finding the buffer full, or purged.
    std::size_t LostInBitBang() const { return InBitBangLost; }
    std::size_t LostToOverflow() const { return OverflowLost; }
    std::size_t Purged() const { return PurgedBytes; }
    // What the UART sent to the target.
    const std::string &Written() const { return WrittenText; }
    const std::vector<double> &Sleeps() const { return Slept; }
    int BitBangTransfers() const { return OutTransfers; }
    int Cancels() const { return CancelCount; }
    // Processor seconds the model itself spent (the rest of a run's is the code under test's).
    double ModelCpuSeconds() const { return ModelCpu; }

    // ---- TFtdiUsb ----
    ftdi_context *ftdi_new() override;
    void ftdi_free(ftdi_context *ftdi) override;
    int ftdi_set_interface(ftdi_context *ftdi, ftdi_interface interface) override;
    int ftdi_usb_open_dev(ftdi_context *ftdi, libusb_device *dev) override;
    int ftdi_usb_close(ftdi_context *ftdi) override;
    int ftdi_read_eeprom(ftdi_context *ftdi) override { return Control(ftdi, "reading eeprom failed"); }
    int ftdi_eeprom_decode(ftdi_context *, int) override { return 0; }
    int ftdi_get_eeprom_value(ftdi_context *ftdi, ftdi_eeprom_value name, int *value) override;
    int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode) override;
    int ftdi_set_baudrate(ftdi_context *ftdi, int baudrate) override;
    int ftdi_set_line_property2(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                ftdi_parity_type parity, ftdi_break_type break_type) override;
    int ftdi_setdtr_rts(ftdi_context *ftdi, int dtr, int rts) override;
    int ftdi_setflowctrl(ftdi_context *ftdi, int) override { return Control(ftdi, "set flow control failed"); }
    int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency) override;
    int ftdi_tciflush(ftdi_context *ftdi) override;
    int ftdi_poll_modem_status(ftdi_context *ftdi, unsigned short *status) override;
    int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size) override;
    int ftdi_usb_find_all(ftdi_context *ftdi, ftdi_device_list **devlist, int vendor, int product) override;
    void ftdi_list_free(ftdi_device_list **devlist) override;
    int ftdi_usb_get_strings(ftdi_context *ftdi, libusb_device *dev, char *manufacturer, int mnf_len,
                             char *description, int desc_len, char *serial, int serial_len) override;

    ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) override;
    void libusb_free_device_list(libusb_device **list, int unref_devices) override;
    uint8_t libusb_get_bus_number(libusb_device *) override { return 1; }
    uint8_t libusb_get_device_address(libusb_device *) override { return static_cast<uint8_t>(Address); }
    int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc) override;
    int libusb_open(libusb_device *dev, libusb_device_handle **handle) override;
    void libusb_close(libusb_device_handle *handle) override;
    int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                           int length) override;
    libusb_transfer *libusb_alloc_transfer(int iso_packets) override;
    void libusb_free_transfer(libusb_transfer *transfer) override;
    int libusb_submit_transfer(libusb_transfer *transfer) override;
    int libusb_cancel_transfer(libusb_transfer *transfer) override;
    int libusb_handle_events_timeout_completed(libusb_context *ctx, timeval *tv, int *completed) override;

    TClock::time_point Now() override;
    void SleepFor(double seconds) override;
    std::string SysfsRoot() const override { return Sysfs; }
    std::string ProcRoot() const override { return Proc; }

private:
    struct TFlight {
        libusb_transfer *Transfer;
        double Deadline; // when it times out; 0: never
        bool Lose = false; // cancelled with its data lost
    };
    struct TDone {
        libusb_transfer *Transfer;
        double At; // when its callback may run
    };
    struct TTalker {
        double Interval, Next, Until;
        std::uint64_t Index = 0;
    };

    void Sync();
    void WaitUntil(double until);
    void Run(double until);
    double NextEvent() const;
    void Step();
    bool Clocking() const;
    bool PacketDue() const;
    double PacketTime() const;
    void SendPacket();
    void Complete(libusb_transfer *transfer, libusb_transfer_status status);
    void Hear(char c);
    int Control(ftdi_context *ftdi, const char *failure);
    bool Alive(ftdi_context *ftdi, const char *failure);
    void RunCallbacks(libusb_context *ctx);
    std::optional<double> NextCallback(libusb_context *ctx) const;
    double CharSeconds() const;
    double Random(double most);

    TVirtualChip &Chip;
    std::mt19937 Rng;
    TClock::time_point Epoch;
    double T = 0;
    double ModelCpu = 0;

    // the device
    bool Present = true;
    int Address = 7;
    std::optional<int> WedgeIn;
    bool Wedged = false;
    std::set<ftdi_context *> Contexts;
    std::set<libusb_transfer *> Allocated;
    struct THandle {
        libusb_context *Context; // whose events complete its transfers
        bool Claims;             // it holds the interface
    };
    std::map<libusb_device_handle *, THandle> Handles;
    int NextHandle = 1;
    std::vector<std::unique_ptr<int>> Tokens;

    // the chip
    int Generator = 9600;
    TLineParams Params;
    double LatencySeconds = 0.016;
    double LastPacket = 0;
    double NextSample = 0;
    double LastRate = 0;
    double NextChar = 0;
    std::deque<std::uint8_t> Rx, Tx;

    // the target
    std::vector<TTalker> Talkers;
    std::deque<std::pair<double, char>> Incoming;
    std::uint64_t LineNumber = 0;
    std::string Line;
    std::string HeardText, WrittenText;
    std::size_t InBitBangLost = 0, OverflowLost = 0, PurgedBytes = 0;

    // the bus
    std::deque<TFlight> InFlightIn, InFlightOut, Stuck;
    std::deque<TDone> Done;
    double LastDone = 0;
    int OutTransfers = 0, CancelCount = 0;
    std::vector<double> Slept;
};
