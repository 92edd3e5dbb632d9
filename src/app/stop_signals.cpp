#include "app/stop_signals.h"

#include <atomic>
#include <iterator>

namespace {

constexpr int Handled[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// A handler may only touch lock-free atomics.
std::atomic<bool> Stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int signal)
{
    if (!Stop.exchange(true))
        return;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

} // namespace

TStopSignals::TStopSignals()
{
    static_assert(std::size(Handled) == HandledCount);
    Stop = false;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < HandledCount; ++i) {
        action.sa_handler = Handled[i] == SIGPIPE ? SIG_IGN : OnStopSignal;
        ::sigaction(Handled[i], &action, &Previous[i]);
    }
}

// SIGPIPE stays ignored: the result line and the progress may still be flushed into a reader that
// went away (korvel-cli write-code fw.hex | head -c1) after a run that did all it had to.
TStopSignals::~TStopSignals()
{
    for (int i = 0; i < HandledCount; ++i)
        if (Handled[i] != SIGPIPE)
            ::sigaction(Handled[i], &Previous[i], nullptr);
}

bool TStopSignals::Requested()
{
    return Stop;
}
