// The few libftdi1 calls the ftdi port makes, behind an interface: the real library serves a cable,
// a fake drives the virtual chip in the tests, the benchmark and korvel-cli's virtual cable.
#pragma once
#include "link/tty_device.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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

enum class TFtdiOpenStatus { Ok, NotFound, AccessDenied, Busy, NoBitBang, Failed };

struct TFtdiOpenResult {
    TFtdiOpenStatus Status = TFtdiOpenStatus::Ok;
    std::string Detail; // the library's own words, a device node, the chip's name
};

class TFtdiDriver {
public:
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
    // as one bulk round trip.
    virtual bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size) = 0;
    // UART mode: sends every byte, or reads what has arrived (at most size; -1 on failure).
    virtual bool Write(const std::uint8_t *data, std::size_t size) = 0;
    virtual int Read(std::uint8_t *data, std::size_t size) = 0;

    virtual std::string Error() const = 0;
    virtual std::vector<TFtdiDeviceInfo> Devices() = 0;
};
