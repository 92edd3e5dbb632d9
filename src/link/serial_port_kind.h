// The serial ports as a row of the port kinds: a terminal device named by its path, or COM<Port> for
// an empty name. It takes any name no row before it took, so it comes last in a table.
#pragma once
#include "link/port_kind.h"

class TSerialPortKind final : public TPortKind {
public:
    std::string Name() const override { return "a device path, or COM<Port> for none"; }
    bool Matches(const std::string &) const override { return true; }
    TCableOpening Open(const TCableRequest &request) const override;
};
