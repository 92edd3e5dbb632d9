// The serial side of a virtual target: the program its chip runs, which the port's data path reaches
// instead of a device. The port tells it when it opens and closes, since a closed port leaves no
// target running, and at which rate the terminal reads.
#pragma once
#include <string>

class TVirtualSerial {
public:
    virtual ~TVirtualSerial() = default;

    virtual void PortOpened(bool open) = 0;
    virtual void SetBaud(int baud) = 0;
    virtual void Write(const std::string &bytes) = 0;
    // What the program sent since the last call; empty when nothing.
    virtual std::string ReadQueued() = 0;
    virtual int InCount() = 0;
    // Why the program does not run or cannot be read as it is (no simulator, a rate the terminal
    // does not share); empty when all is well.
    virtual std::string Problem() const = 0;
    // Why the program does not run (no simulator, the simulator ended); unlike Problem, not a rate
    // that differs.
    virtual std::string Failure() const = 0;
};
