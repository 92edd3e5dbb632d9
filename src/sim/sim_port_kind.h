// The simulated ports, as a row of the port kinds: the virtual chip behind the serial port ("sim"),
// behind a simulated PL2303 cable whose inputs show a change only a while later ("sim-pl2303"),
// behind a fake FTDI cable driven directly ("sim-ftdi"), and the adapter with no chip in its socket
// ("sim-empty"). Each but the last takes ":IMAGE" for where the chip keeps its memory.
#pragma once
#include "link/port_kind.h"

// The virtual chip behind the serial port, as the settings name it.
constexpr const char *VirtualPortName = "sim";

class TSimPortKind final : public TPortKind {
public:
    std::string Name() const override { return "sim[:IMAGE], sim-empty, sim-pl2303[:IMAGE], sim-ftdi[:IMAGE]"; }
    bool Matches(const std::string &name) const override;
    TCableOpening Open(const TCableRequest &request) const override;
    std::string Describe(const std::string &name) const override;
};
