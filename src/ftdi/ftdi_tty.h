// The kernel's terminal devices of one FTDI chip, and whether a program holds one open: the port
// has the kernel's driver let go of the chip, which hangs up any program reading its /dev/ttyUSBn.
#pragma once
#include <string>
#include <vector>

// The terminal devices ("ttyUSB0") that ftdi_sio made for the USB device at bus/address, for one
// interface (its bInterfaceNumber) or, with -1, for all; sysfsRoot is where sysfs is mounted.
std::vector<std::string> FtdiTtys(int bus, int address, int interfaceNumber, const std::string &sysfsRoot = "/sys");

// Who holds those devices open, as far as procRoot shows: nothing is looked at when no device is
// bound, and the look ends at the first holder.
struct TTtyUsers {
    std::string Device; // the first device bound ("/dev/ttyUSB0"); empty when none is
    std::string InUse;  // the device a process holds open; empty when none does
    int Unseen = 0;     // processes whose descriptors could not be read (another user's); -1: /proc itself
};
TTtyUsers FtdiTtyUsers(int bus, int address, int interfaceNumber, const std::string &sysfsRoot = "/sys",
                       const std::string &procRoot = "/proc");

// What the look could not see, in a sentence; empty when it saw everything.
std::string TtyUsersWarning(const TTtyUsers &users);
