// The ftdi port's calls on the real libftdi1.
#pragma once
#include "ftdi/ftdi_driver.h"
#include "ftdi/ftdi_usb.h"

#include <memory>

// The driver for real cables, on the system's libraries unless a test gives it a model of the bus;
// never fails to construct (a missing libusb shows when opening).
std::unique_ptr<TFtdiDriver> CreateLibFtdiDriver(TFtdiUsb &usb = SystemUsb());

// "libftdi 1.5", for a test that the real library is the one linked.
std::string LibFtdiVersion();
