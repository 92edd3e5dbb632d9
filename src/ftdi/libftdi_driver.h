// The ftdi port's calls on the real libftdi1.
#pragma once
#include "ftdi/ftdi_driver.h"

#include <memory>

// The driver for real cables; never fails to construct (a missing libusb shows when opening).
std::unique_ptr<TFtdiDriver> CreateLibFtdiDriver();

// "libftdi 1.5", for a test that the real library is the one linked.
std::string LibFtdiVersion();
