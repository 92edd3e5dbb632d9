#include "link/port_kind.h"

#include <cerrno>
#include <cstring>

// Every front end shows this text as it is (tooltip, message box, korvel-cli's error line), so the
// advice for the commonest failure is given here once.
std::string PortOpenError(const std::string &device, int reason)
{
    std::string error = "cannot open serial port " + device;
    if (reason != 0)
        error += ": " + std::string(std::strerror(reason));
    if (reason == EACCES)
        error += " (serial ports belong to the group dialout: sudo adduser $USER dialout, then log in again)";
    return error;
}

std::string PortLostReason(const std::string &device)
{
    return "the serial port " + device + " vanished (unplugged?)";
}

const TPortKind *TPortKinds::Find(const std::string &name) const
{
    for (const std::unique_ptr<TPortKind> &kind : Kinds)
        if (kind->Matches(name))
            return kind.get();
    return nullptr;
}
