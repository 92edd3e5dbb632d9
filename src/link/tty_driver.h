// Which kernel driver serves a terminal device, and the USB cable behind it, as sysfs tells: how
// current the driver's modem-status reads are decides how long the ISP link must let an input
// settle before it trusts it.
#pragma once
#include <optional>
#include <string>

enum class TTtyKind {
    Unknown, // not a terminal sysfs knows (no such device, no sysfs)
    Pseudo,  // a pseudo-terminal or a console: no modem lines
    Native,  // a UART on the board or a card (8250 and the like)
    Usb,     // a USB device's serial port
};

struct TTtyDriver {
    TTtyKind Kind = TTtyKind::Unknown;
    std::string Name;   // "ttyUSB0"; empty when no device was looked up
    std::string Driver; // "pl2303", "ftdi_sio", "cdc_acm", "serial8250"; empty when none
    // The USB device (Kind Usb only).
    int Vendor = 0;
    int Product = 0;
    std::string Serial;
    int Bus = 0;
    int Address = 0;
    int Interface = 0;  // the port's USB interface number
    int Interfaces = 1; // how many the device has
    double PollMs = 0;  // how often the host asks the port's interrupt endpoint; 0 without one
};

// device: a path such as /dev/ttyUSB0 or a link to one (/dev/serial/by-id/...); sysfsRoot is where
// sysfs is mounted. Never throws: what cannot be found is left empty.
TTtyDriver LookUpTtyDriver(const std::string &device, const std::string &sysfsRoot = "/sys");

// "pl2303, USB 067b:2303, serial 0123", "serial8250, a built-in UART", "a pseudo-terminal".
std::string TtyDriverText(const TTtyDriver &tty);

// How long after an output change a modem-status read of this driver can be trusted, in ms: 0 for
// drivers that ask the chip at every read; for drivers that answer from the last report of the
// cable's interrupt endpoint, long enough for a change to have been reported.
double DriverSettleMs(const TTtyDriver &tty);

// The settle the link waits before each input read: the user's when given, else the driver's; when
// there is one at all it is never shorter than the clock delay. 0: inputs are read at once.
double EffectiveSettleMs(double driverSettleMs, std::optional<double> userSettleMs, double clockDelayMs);
