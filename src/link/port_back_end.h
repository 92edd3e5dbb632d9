// What the serial port component forwards to: a terminal device (TTtyPort), the lines of a virtual
// target with a quiet data path (TLinesPort), or a port reached through a library (a USB cable's own
// chip). The component hands it its data path and the control-line calls made through the component
// itself (the terminal's); those apply in whatever mode the port is in.
#pragma once
#include "link/line_interface.h"
#include "link/tty_device.h"

#include <string>
#include <vector>

class TPortBackEnd : public TLineInterface {
public:
    // False with OpenError() (or errno, for a terminal device) saying why.
    virtual bool Open(const TLineParams &params) = 0;
    virtual void Close() = 0;
    virtual bool Opened() const = 0;
    virtual std::string OpenError() const = 0;
    virtual void SetLineParams(const TLineParams &params) = 0;

    virtual bool Write(const std::string &text) = 0;
    // What has arrived since the last call; empty when nothing has.
    virtual std::string ReadQueued() = 0;
    virtual int InCount() = 0;
    // Bytes written but not sent yet; a port that writes synchronously has none.
    virtual int OutCount() { return 0; }
    // What the driver refused on each output line since the port opened (see T_QCCom32).
    virtual std::vector<std::string> LineFailures() const { return {}; }
    // A port that keeps its device and the levels its lines last had across a change of line
    // parameters and an Open (reopening a USB device would hand it to the kernel's driver and back
    // for nothing); any other is opened anew and given the component's stored levels.
    virtual bool KeepsState() const { return false; }
    // A port that takes new line parameters while open, without the close and open that would stop
    // what runs behind it (a virtual target's program); one that keeps its state always does.
    virtual bool ParamsWhileOpen() const { return KeepsState(); }
    // Why the target behind the port runs nothing (a virtual chip without its simulator), and why it
    // cannot be read as it is (a program sending at another rate); empty when nothing is known.
    virtual std::string TargetFailure() const { return {}; }
    virtual std::string TargetProblem() const { return {}; }
};
