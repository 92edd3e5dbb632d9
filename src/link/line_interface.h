// The small set of RS232 control lines the ISP link drives and reads. The serial port implements it
// for real hardware, the virtual adapter for the built-in target, the ftdi port for a USB cable's own
// chip, and the trace recorder wraps any of them.
#pragma once
#include <deque>

class TLineInterface {
public:
    using TDelay = void (*)(double ms);

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

    // Deferred input samples (line: 0 CTS, 1 DSR, 2 RLSD, 3 RI). QueueSample notes the line's state
    // as the outputs stand now; TakeSample returns the oldest noted state not taken yet. A port whose
    // calls take effect at once reads the line in QueueSample; a port that streams a waveform learns
    // the state with its next transfer, so that many samples travel in one. Every queued sample is
    // taken, in order.
    virtual void QueueSample(int line) = 0;
    virtual bool TakeSample() = 0;

    // Holds the lines still for ms before the next change. A port that streams its waveform turns
    // the wait into idle time in the stream, or sends what it holds and then sleeps (what it sent is
    // on the pins by then, so it needs no busy delay).
    virtual void Wait(double ms, TDelay delay) = 0;
    // Sends the changes still held, so that they have reached the pins when it returns.
    virtual void Flush() = 0;
    // The port stopped working while it was in use (a cable pulled out); it stays so until reopened.
    virtual bool PortLost() const = 0;
};

// A port whose line calls take effect when made: a sample is read at once, a wait is the delay
// itself, and nothing is ever held back. TBase is the line interface or an interface built on it.
template <class TBase>
class TImmediate : public TBase {
public:
    void QueueSample(int line) override { Samples.push_back(ReadInput(line)); }
    bool TakeSample() override
    {
        if (Samples.empty())
            return false;
        const bool state = Samples.front();
        Samples.pop_front();
        return state;
    }
    void Wait(double ms, TLineInterface::TDelay delay) override { delay(ms); }
    void Flush() override {}
    bool PortLost() const override { return false; }

protected:
    bool ReadInput(int line)
    {
        switch (line) {
        case 0: return this->GetCTS();
        case 1: return this->GetDSR();
        case 2: return this->GetRLSD();
        case 3: return this->GetRI();
        default: return false;
        }
    }

private:
    std::deque<bool> Samples;
};

using TImmediateLines = TImmediate<TLineInterface>;
