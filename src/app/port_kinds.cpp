#include "app/port_kinds.h"

#include "ftdi/ftdi_port_kind.h"
#include "link/serial_port_kind.h"
#include "sim/sim_port_kind.h"

TPortKinds StandardPortKinds()
{
    TPortKinds kinds;
    kinds.Add(std::make_unique<TFtdiPortKind>());
    kinds.Add(std::make_unique<TSimPortKind>());
    kinds.Add(std::make_unique<TSerialPortKind>());
    return kinds;
}
