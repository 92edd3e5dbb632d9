// A port reached through a library rather than a terminal device (a USB cable's own chip). The serial
// port component hands it its data path and the control-line calls made through the component itself
// (the terminal's); those apply in whatever mode the port is in, while the data path claims the UART.
#pragma once
#include "link/line_interface.h"
#include "link/tty_device.h"

#include <string>

class TPortBackEnd : public TLineInterface {
public:
    // False with OpenError() saying why.
    virtual bool Open(const TLineParams &params) = 0;
    virtual void Close() = 0;
    virtual bool Opened() const = 0;
    virtual std::string OpenError() const = 0;
    virtual void SetLineParams(const TLineParams &params) = 0;

    virtual bool Write(const std::string &text) = 0;
    // What has arrived since the last call; empty when nothing has.
    virtual std::string ReadQueued() = 0;
    virtual int InCount() = 0;
};
