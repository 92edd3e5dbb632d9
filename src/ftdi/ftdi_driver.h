// The few libftdi1 calls the ftdi port makes, behind an interface: the real library serves a cable,
// a fake drives the virtual chip in the tests, the benchmark and korvel-cli's virtual cable.
#pragma once
#include "link/tty_device.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// One FTDI device on the bus, as a listing shows it.
struct TFtdiDeviceInfo {
    int Vendor = 0;
    int Product = 0;
    int Bus = 0;
    int Address = 0;
    std::string Manufacturer;
    std::string Description;
    std::string Serial;
    std::string Problem; // why the strings could not be read (e.g. no permission); empty when they were
};

// TtyBusy: the kernel's terminal device of the chip (Detail) is open in a program that detaching
// the driver would hang up.
enum class TFtdiOpenStatus { Ok, NotFound, AccessDenied, Busy, TtyBusy, NoBitBang, Failed };

// The eight UART pins by RS232 name, as bit-bang mode numbers them (FTDI AN232R-01); the EEPROM's
// inversion bits use the same order.
namespace FtdiPin {
constexpr std::uint8_t Txd = 0x01, Rxd = 0x02, Rts = 0x04, Cts = 0x08, Dtr = 0x10, Dsr = 0x20, Dcd = 0x40, Ri = 0x80;
}

// libftdi's modem status: the chip's modem-status byte below, its line-status byte above.
namespace FtdiStatus {
constexpr std::uint16_t Cts = 0x10, Dsr = 0x20, Ri = 0x40, Dcd = 0x80, TransmitterEmpty = 0x4000;
}

struct TFtdiOpenResult {
    TFtdiOpenStatus Status = TFtdiOpenStatus::Ok;
    std::string Detail; // the library's own words, a device node, the chip's name
    // What was opened, when Status is Ok.
    std::string Chip = "FT232R";
    std::uint8_t Pins = 0xFF;     // the pins the chip has (an FT230X lacks DTR, DSR, DCD and RI)
    std::uint8_t Inverted = 0;    // the pins its EEPROM inverts in UART mode
    int Bus = 0, Address = 0;     // a new address means the cable was plugged in again
    std::string Warning = {};     // what the open could not check (who holds the chip's tty)
};

// One completion of a bit-bang transfer's reads: how many samples had come back by then, and the
// clock's time at the completion itself (not when the caller got control back).
struct TFtdiArrival {
    std::size_t Samples = 0;
    std::chrono::steady_clock::time_point At;
};

class TFtdiDriver {
public:
    using TClock = std::chrono::steady_clock;

    virtual ~TFtdiDriver() = default;

    // description: libftdi's device string ("d:bus/dev", "i:vendor:product[:index]",
    // "s:vendor:product:serial"), empty for the first FTDI device; interfaceIndex 0 for any, 1..4 for
    // A..D. The kernel's serial driver lets go of the device while it is open and gets it back by
    // Close. A chip without synchronous bit-bang mode is refused (NoBitBang) and left closed.
    virtual TFtdiOpenResult Open(const std::string &description, int interfaceIndex) = 0;
    virtual void Close() = 0;

    // libftdi's semantics throughout, including its baud rate: while a bit-bang mode is on, libftdi
    // programs the chip with four times the rate it is given. Each call is one USB control request.
    // False on failure, with Error() saying why.
    virtual bool SetBitMode(std::uint8_t outputs, bool syncBitBang) = 0;
    virtual bool SetBaudRate(int baud) = 0;
    virtual bool SetLineProperty(const TLineParams &params, bool breakOn) = 0;
    virtual bool SetModemControl(bool dtr, bool rts) = 0;
    virtual bool SetFlowControlOff() = 0;
    virtual bool SetLatencyTimer(int ms) = 0;
    virtual bool PurgeReceived() = 0;
    virtual std::optional<std::uint16_t> ModemStatus() = 0;

    // Synchronous bit-bang: writes size bytes and reads the size pin samples that come back with them,
    // as one bulk round trip, given up (both directions cancelled) after timeoutSeconds.
    virtual bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds) = 0;
    // The last Transfer's samples as they came back, one entry per read that brought some.
    virtual const std::vector<TFtdiArrival> &Arrivals() const = 0;
    // UART mode: sends every byte, or reads what has arrived (at most size; -1 on failure, with
    // Error() saying why, e.g. that the cable was unplugged). Between StartReading and StopReading
    // reads stay pending, so the chip's small buffer never has to hold what arrives between two
    // Reads; StopReading keeps what the reads it cuts short had brought. Without reads pending, Read
    // also takes what the chip still holds, with one read bounded in time and bytes: it never waits
    // for the line to fall silent.
    virtual bool Write(const std::uint8_t *data, std::size_t size) = 0;
    virtual int Read(std::uint8_t *data, std::size_t size) = 0;
    virtual bool StartReading() = 0;
    virtual void StopReading() = 0;

    // Why the last call failed, in plain words.
    virtual std::string Error() const = 0;
    virtual std::vector<TFtdiDeviceInfo> Devices() = 0;
    // The clock the chip's samples are timed on: the host's for a cable, a virtual one for the fake.
    virtual TClock::time_point Now() { return TClock::now(); }
    // A wait made on the host once everything before it is on the pins: it sleeps on that clock.
    virtual void Sleep(double seconds)
    {
        if (seconds > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
};
