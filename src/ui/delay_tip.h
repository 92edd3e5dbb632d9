// What the parameter dialog says about two of its delays. The Clock Delay's tooltip tells the SCK the
// value being edited gives on this port, from the SCK the last operation measured, and the slowest
// crystal the chip chosen takes it from; the Write Delay's which chips wait it.
#pragma once
#include "link/sck_rate.h"

#include <string>

// device: the Device choice being edited (an unknown one counts as the AT89S8252). Numbers are
// written with the decimal separator given.
std::string ClockDelayTip(const TSckRate &measured, double clockDelayMs, int device, char decimalSeparator);
std::string WriteDelayTip(char decimalSeparator);
