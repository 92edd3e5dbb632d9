// The kernel's terminal devices of one FTDI chip, and whether a program holds one open: the port
// has the kernel's driver let go of the chip, which hangs up any program reading its /dev/ttyUSBn.
#pragma once
#include <string>
#include <vector>

// The terminal devices ("ttyUSB0") that ftdi_sio made for the USB device at bus/address, for one
// interface (its bInterfaceNumber) or, with -1, for all; sysfsRoot is where sysfs is mounted.
std::vector<std::string> FtdiTtys(int bus, int address, int interfaceNumber, const std::string &sysfsRoot = "/sys");

// "/dev/ttyUSB0" when a process holds one of those devices open, as far as procRoot shows this user
// (another user's descriptors are not visible); empty when none does.
std::string FtdiTtyInUse(int bus, int address, int interfaceNumber, const std::string &sysfsRoot = "/sys",
                         const std::string &procRoot = "/proc");
