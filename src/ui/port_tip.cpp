#include "ui/port_tip.h"

#include "link/qc_com32.h"
#include "sim/sim_port_kind.h"

namespace {

// The port itself decides which device a number opens; it stays closed here.
std::string DeviceOf(int port, const std::string &portName)
{
    T_QCCom32 com;
    com.SetPort(port);
    com.SetPortName(portName);
    return com.DeviceName();
}

} // namespace

std::string PortTip(int port, const std::string &portName, int triedPort, const std::string &problem,
                    const std::string &driver)
{
    const std::string device = DeviceOf(port, portName);
    const bool tried = device == DeviceOf(triedPort, portName);
    const std::string served = device + (tried && !driver.empty() ? " (" + driver + ")" : "");
    std::string tip;
    if (portName.empty())
        tip = "COM" + std::to_string(port) + " opens " + served;
    else if (portName == VirtualPortName)
        tip = "The settings file's PortName=sim opens the virtual chip; the number is not used";
    else
        tip = "The settings file's PortName opens " + served + "; the number is not used";
    if (!problem.empty() && tried)
        tip += "\nThe last attempt to open it failed: " + problem;
    return tip;
}

std::string PortNameDevice(const std::string &portName)
{
    if (portName.empty())
        return {};
    const std::string described = TSimPortKind().Describe(portName);
    return described.empty() ? DeviceOf(1, portName) : described;
}
