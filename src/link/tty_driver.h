// Which kernel driver serves a terminal device, and the USB cable behind it, as sysfs tells: how
// current the driver's modem-status reads are decides how long the ISP link must let an input
// settle before it trusts it.
#pragma once
#include <optional>
#include <string>
#include <sys/types.h>

enum class TTtyKind {
    Unknown, // not a terminal sysfs knows (no such device, no sysfs)
    Pseudo,  // a pseudo-terminal or a console: no modem lines
    Native,  // a UART on the board or a card (8250 and the like)
    Usb,     // a USB device's serial port (or a node whose device number says so)
};

// Input line indices as the link counts them: 0 CTS, 1 DSR, 2 RLSD (DCD), 3 RI.
constexpr unsigned AllInputs = 0xF;

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
    // Usb only: sysfs shows the device. A node of a USB serial major that sysfs does not know (a
    // container's /dev) is taken for a USB port all the same, about which nothing else is known.
    bool Listed = true;
};

// device: a path such as /dev/ttyUSB0 or a link to one (/dev/serial/by-id/...); sysfsRoot is where
// sysfs is mounted. A character device is found by its device number, so a node of any name (a
// udev alias, a container's /dev) leads to its driver; other paths by their file name. Never
// throws: what cannot be found is left empty.
TTtyDriver LookUpTtyDriver(const std::string &device, const std::string &sysfsRoot = "/sys");
// The same for a node of that file name and, when it is a character device, that number.
TTtyDriver LookUpTtyNode(const std::string &name, std::optional<dev_t> number, const std::string &sysfsRoot);

// "pl2303, USB 067b:2303, serial 0123", "serial8250, a built-in UART", "a pseudo-terminal".
std::string TtyDriverText(const TTtyDriver &tty);

// How long after an output change a modem-status read of this driver can be trusted, in ms: 0 for
// drivers that ask the chip at every read; for drivers that answer from the last report of the
// cable's interrupt endpoint, long enough for a change to have been reported, but never more than
// MaxDriverSettleMs (a slowly polled endpoint would make reads take hours; lines measures such a
// cable).
constexpr double MaxDriverSettleMs = 50;
double DriverSettleMs(const TTtyDriver &tty);
// The driver's settle before the cap.
double UncappedSettleMs(const TTtyDriver &tty);

// The inputs the driver reports at all (bit n for input line n).
unsigned ReportedInputs(const TTtyDriver &tty);
// "cdc_acm cannot report CTS: wire MISO to DSR or DCD"; empty when the driver reports that input
// (or misoLine selects none).
std::string UnreportedInputProblem(const TTtyDriver &tty, int misoLine);

// The settle the link waits before each input read: the user's when given, else the driver's; when
// there is one at all it is never shorter than the clock delay. 0: inputs are read at once.
double EffectiveSettleMs(double driverSettleMs, std::optional<double> userSettleMs, double clockDelayMs);
