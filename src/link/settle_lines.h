// Lines whose input reads wait until the inputs can be trusted. Some USB cables' drivers (pl2303,
// ch341, cdc_acm) answer a modem-status read with what the cable last reported on its interrupt
// endpoint, so right after SCL moves MISO still shows the bit before. This wrapper remembers when an
// output last changed in a way that can move an input and, before an input is read, waits until the
// settle time has passed since. It forwards every call once and counts the requests and the time
// the port took for them.
#pragma once
#include "link/forwarding_lines.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <optional>

class TSettleLines final : public TForwardingLines {
public:
    using TClock = std::chrono::steady_clock;

    // settleMs is asked before every input read, so a changed setting applies at once. The inner
    // port must take its calls at once (a port that holds its changes back has nothing to settle).
    TSettleLines(TLineInterface &inner, std::function<double()> settleMs);

    void SetBreak(bool level) override;
    void SetRts(bool level) override;
    void SetDtr(bool level) override;
    bool GetCTS() override;
    bool GetDSR() override;
    bool GetRLSD() override;
    bool GetRI() override;
    void QueueSample(int line) override;
    bool TakeSample() override;

    // Which output requests can move an input (output 0 TXD, 1 RTS, 2 DTR, and the level asked); the
    // settle counts from the last of them. Unset: every request.
    using TMovesInputs = std::function<bool(int output, bool level)>;
    void SetMovesInputs(TMovesInputs rule) { MovesInputs = std::move(rule); }

    // Asked while a long settle is waited: once it answers true the wait ends at once (an operation
    // or the whole run was asked to stop, and what the read answers is no longer used).
    void SetStopCheck(std::function<bool()> stop) { Stop = std::move(stop); }

    // While set, this settle replaces the one the function gives (a measurement trying settles).
    void SetTrialSettle(std::optional<double> ms) { Trial = ms; }
    double SettleMs() const { return Trial ? *Trial : Settle(); }

    struct TStats {
        std::uint64_t Requests = 0;  // line settings and input reads passed on
        double RequestSeconds = 0;   // the time the port took for them
        double SettleSeconds = 0;    // the time waited before input reads
        double RequestMs() const { return Requests ? RequestSeconds * 1000 / static_cast<double>(Requests) : 0; }
    };
    const TStats &Stats() const { return Counters; }
    // Whether an input line (0 CTS .. 3 RI) was read both on and off since the stats were reset:
    // one that never changed may be one the driver never reports.
    // A front end may ask on its own thread once an operation has ended.
    bool InputChanged(int line) const { return line >= 0 && line < 4 && Seen[static_cast<std::size_t>(line)] == 3; }
    void ResetStats();

private:
    TLineInterface &Next() const override { return Inner; }
    template <class TCall> auto Timed(TCall call);
    void Output(int output, void (TLineInterface::*set)(bool), bool level);
    bool Input(int line, bool (TLineInterface::*get)());
    void AwaitSettle();
    void NoteSeen(int line, bool state);

    TLineInterface &Inner;
    std::function<double()> Settle;
    std::optional<double> Trial;
    TMovesInputs MovesInputs;
    std::function<bool()> Stop;
    std::array<std::atomic<unsigned>, 4> Seen{}; // per input: bit 0 read off, bit 1 read on
    std::deque<int> Queued; // the lines of the samples not taken yet
    TClock::time_point LastChange = TClock::now();
    TStats Counters;
};
