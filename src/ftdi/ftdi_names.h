// How the settings and korvel-cli name an FTDI cable, and how a listing shows one.
#pragma once
#include "ftdi/ftdi_driver.h"
#include "link/tty_driver.h"

#include <string>

// "ftdi" (the first device), "ftdi:" + libftdi's device string, either with "@A".."@D" for one
// interface of a multi-port chip. "ftdi-ttl" in place of "ftdi" names a cable without an RS232
// transceiver, whose pins carry every level the other way round.
struct TFtdiName {
    std::string Description;
    int Interface = 0; // 0 any, 1..4 = A..D
    bool Ttl = false;
};
bool IsFtdiPortName(const std::string &name);
TFtdiName ParseFtdiName(const std::string &name);
// The name that opens this device (by serial number where it has one, as that survives replugging),
// and the line a listing shows for it.
std::string FtdiPortString(const TFtdiDeviceInfo &device);
std::string FtdiDeviceLine(const TFtdiDeviceInfo &device);
// The name that drives the FTDI cable behind a terminal device (driver ftdi_sio) through this port
// instead; empty for any other device.
std::string FtdiPortStringFor(const TTtyDriver &tty);
