// The small set of RS232 control lines the ISP link drives and reads. The serial port implements it
// for real hardware, the virtual adapter for the built-in target, and the trace recorder wraps either.
#pragma once

class TLineInterface {
public:
    virtual ~TLineInterface() = default;

    // Outputs: True is the asserted state (SETBREAK, SETRTS, SETDTR). Each call is one request to the
    // driver, also when the level does not change.
    virtual void SetBreak(bool level) = 0;
    virtual void SetRts(bool level) = 0;
    virtual void SetDtr(bool level) = 0;

    // Inputs: True when the modem-status line is on; False when the port is not open.
    virtual bool GetCTS() = 0;
    virtual bool GetDSR() = 0;
    virtual bool GetRLSD() = 0;
    virtual bool GetRI() = 0;
};
