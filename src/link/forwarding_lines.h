// A line interface that passes every call on to another one: the wrappers around a port (the settle
// wait, the trace recorder, the session's lines) derive from it and replace only the calls they
// change, so a call added to the line interface reaches every port through all of them.
#pragma once
#include "link/line_interface.h"

class TForwardingLines : public TLineInterface {
public:
    void SetBreak(bool level) override { Next().SetBreak(level); }
    void SetRts(bool level) override { Next().SetRts(level); }
    void SetDtr(bool level) override { Next().SetDtr(level); }
    bool GetCTS() override { return Next().GetCTS(); }
    bool GetDSR() override { return Next().GetDSR(); }
    bool GetRLSD() override { return Next().GetRLSD(); }
    bool GetRI() override { return Next().GetRI(); }
    void QueueSample(int line) override { Next().QueueSample(line); }
    bool TakeSample() override { return Next().TakeSample(); }
    void Wait(double ms, TDelay delay) override { Next().Wait(ms, delay); }
    void Flush() override { Next().Flush(); }
    bool PortLost() const override { return Next().PortLost(); }

protected:
    // Asked at every call, so that a wrapper may follow a port that is replaced under it.
    virtual TLineInterface &Next() const = 0;
};
