#include "link/settle_lines.h"

#include <thread>
#include <type_traits>

namespace {

// A thread sleep overshoots by up to about this much, so the last stretch of a wait is spun.
constexpr std::chrono::microseconds SleepSlack{1000};

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

void TSettleLines::Output(void (TLineInterface::*set)(bool), bool level)
{
    Timed([&] { (Inner.*set)(level); });
    LastChange = TClock::now(); // the change is on the line once the request has returned
}

bool TSettleLines::Input(bool (TLineInterface::*get)())
{
    AwaitSettle();
    return Timed([&] { return (Inner.*get)(); });
}

void TSettleLines::SetBreak(bool level) { Output(&TLineInterface::SetBreak, level); }
void TSettleLines::SetRts(bool level) { Output(&TLineInterface::SetRts, level); }
void TSettleLines::SetDtr(bool level) { Output(&TLineInterface::SetDtr, level); }
bool TSettleLines::GetCTS() { return Input(&TLineInterface::GetCTS); }
bool TSettleLines::GetDSR() { return Input(&TLineInterface::GetDSR); }
bool TSettleLines::GetRLSD() { return Input(&TLineInterface::GetRLSD); }
bool TSettleLines::GetRI() { return Input(&TLineInterface::GetRI); }

// The port reads the line as the sample is queued.
void TSettleLines::QueueSample(int line)
{
    AwaitSettle();
    Timed([&] { Inner.QueueSample(line); });
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
    if (until - start > 2 * SleepSlack)
        std::this_thread::sleep_until(until - SleepSlack);
    while (TClock::now() < until) {
    }
    Counters.SettleSeconds += std::chrono::duration<double>(TClock::now() - start).count();
}
