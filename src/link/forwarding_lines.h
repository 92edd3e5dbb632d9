// A line interface that passes every call on to another one: the wrappers around a port (the settle
// wait, the trace recorder, the session's lines) derive from it and replace only the calls they
// change, so a call added to the line interface reaches every port through all of them. A wrapper
// that must itself be something more than a line interface (a port's back end) names that base.
#pragma once
#include "link/line_interface.h"

template <class TBase = TLineInterface>
class TForwardingTo : public TBase {
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
    void Wait(double ms, TLineInterface::TDelay delay) override { Next().Wait(ms, delay); }
    void Flush() override { Next().Flush(); }
    bool PortLost() const override { return Next().PortLost(); }

protected:
    // Asked at every call, so that a wrapper may follow a port that is replaced under it.
    virtual TLineInterface &Next() const = 0;
};

using TForwardingLines = TForwardingTo<>;
