// What the parameter dialog says about the port number being edited. On Linux a COM number means
// little, so the "Com" field names the device that number opens, the driver that serves it and, when
// that device could not be opened at the last attempt, why.
#pragma once
#include <string>

// portName is the settings file's PortName: empty, a device path, or "sim" for the virtual chip.
// The last attempt opened what triedPort names; its failure (empty: it opened) and the driver it
// found (empty: none known) are told only while port names the same device.
std::string PortTip(int port, const std::string &portName, int triedPort, const std::string &problem,
                    const std::string &driver = {});

// What the settings file's PortName opens, for the dialog's line below its buttons (the "Com"
// number is then not used); empty without PortName.
std::string PortNameDevice(const std::string &portName);
