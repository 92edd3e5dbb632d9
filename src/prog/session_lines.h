// The programming thread's lines: those of the port session as it is opened now (the port itself, or
// the trace recorder around it), so that reopening the session never leaves a runner behind.
#pragma once
#include "link/forwarding_lines.h"
#include "prog/port_session.h"

class TSessionLines final : public TForwardingLines {
public:
    explicit TSessionLines(TPortSession &session) : Session(session) {}

private:
    TLineInterface &Next() const override { return Session.Lines(); }

    TPortSession &Session;
};
