// The table of port kinds both programs open their ports through: the FTDI cables driven directly,
// the simulated ports, and last the serial ports, which take any other name.
#pragma once
#include "link/port_kind.h"

TPortKinds StandardPortKinds();
