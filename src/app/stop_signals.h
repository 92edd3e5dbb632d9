// korvel-cli's answer to Ctrl-C, a kill and a closed terminal (SIGINT, SIGTERM, SIGHUP): the first
// signal only asks the run to stop between two instructions, so that the chip leaves programming
// mode, the lines go to rest and the port closes as at a normal end (an FTDI cable back out of
// bit-bang mode, with its kernel driver); a second one ends the process at once, for a run that
// does not stop. SIGPIPE is ignored from then on, to the end of the process: a reader of the output
// that went away must not end the process with RESET held, nor turn a finished run into a failure.
#pragma once
#include <csignal>

class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals(); // the handlers that were there before come back, but SIGPIPE's
    TStopSignals(const TStopSignals &) = delete;
    TStopSignals &operator=(const TStopSignals &) = delete;

    static bool Requested();

private:
    static constexpr int HandledCount = 4;
    struct sigaction Previous[HandledCount];
};
