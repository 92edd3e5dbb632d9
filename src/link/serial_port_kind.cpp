#include "link/serial_port_kind.h"

namespace {

// The serial port's own terminal device: nothing between it and the link but the settle.
class TSerialCable final : public TCable {
public:
    std::string DeviceName(const TCableRequest &request) const override { return request.Name; }
    bool TerminalDevice() const override { return true; }
    bool Serves(const TCableRequest &) const override { return true; }
};

} // namespace

TCableOpening TSerialPortKind::Open(const TCableRequest &) const
{
    TCableOpening opening;
    opening.Cable = std::make_unique<TSerialCable>();
    return opening;
}
