#include "link/settle_lines.h"

#include <algorithm>
#include <thread>
#include <type_traits>

namespace {

// A thread sleep overshoots by up to about this much, so the last stretch of a wait is spun.
constexpr std::chrono::microseconds SleepSlack{1000};
// A long settle sleeps in slices this long, asking between them whether to stop.
constexpr std::chrono::milliseconds StopCheckSlice{50};

} // namespace

TSettleLines::TSettleLines(TLineInterface &inner, std::function<double()> settleMs)
    : Inner(inner), Settle(std::move(settleMs))
{
}

template <class TCall> auto TSettleLines::Timed(TCall call)
{
    const TClock::time_point start = TClock::now();
    auto count = [&] {
        ++Counters.Requests;
        Counters.RequestSeconds += std::chrono::duration<double>(TClock::now() - start).count();
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        count();
    } else {
        const auto result = call();
        count();
        return result;
    }
}

void TSettleLines::Output(int output, void (TLineInterface::*set)(bool), bool level)
{
    Timed([&] { (Inner.*set)(level); });
    if (!MovesInputs || MovesInputs(output, level))
        LastChange = TClock::now(); // the change is on the line once the request has returned
}

bool TSettleLines::Input(int line, bool (TLineInterface::*get)())
{
    AwaitSettle();
    const bool state = Timed([&] { return (Inner.*get)(); });
    NoteSeen(line, state);
    return state;
}

void TSettleLines::ResetStats()
{
    Counters = {};
    for (std::atomic<unsigned> &seen : Seen)
        seen = 0;
}

void TSettleLines::NoteSeen(int line, bool state)
{
    if (line >= 0 && line < 4)
        Seen[static_cast<std::size_t>(line)] |= state ? 2u : 1u;
}

void TSettleLines::SetBreak(bool level) { Output(0, &TLineInterface::SetBreak, level); }
void TSettleLines::SetRts(bool level) { Output(1, &TLineInterface::SetRts, level); }
void TSettleLines::SetDtr(bool level) { Output(2, &TLineInterface::SetDtr, level); }
bool TSettleLines::GetCTS() { return Input(0, &TLineInterface::GetCTS); }
bool TSettleLines::GetDSR() { return Input(1, &TLineInterface::GetDSR); }
bool TSettleLines::GetRLSD() { return Input(2, &TLineInterface::GetRLSD); }
bool TSettleLines::GetRI() { return Input(3, &TLineInterface::GetRI); }

// The port reads the line as the sample is queued.
void TSettleLines::QueueSample(int line)
{
    AwaitSettle();
    Timed([&] { Inner.QueueSample(line); });
    Queued.push_back(line);
}

bool TSettleLines::TakeSample()
{
    const bool state = Inner.TakeSample();
    if (!Queued.empty()) {
        NoteSeen(Queued.front(), state);
        Queued.pop_front();
    }
    return state;
}

void TSettleLines::AwaitSettle()
{
    const double ms = SettleMs();
    if (ms <= 0)
        return;
    const auto until = LastChange + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double, std::milli>(ms));
    const TClock::time_point start = TClock::now();
    if (start >= until)
        return;
    Inner.Flush(); // nothing may wait in the port while this thread sleeps
    for (TClock::time_point now = start; until - now > 2 * SleepSlack; now = TClock::now()) {
        if (Stop && Stop())
            return;
        std::this_thread::sleep_until(std::min<TClock::time_point>(until - SleepSlack, now + StopCheckSlice));
    }
    while (TClock::now() < until) {
    }
    Counters.SettleSeconds += std::chrono::duration<double>(TClock::now() - start).count();
}
