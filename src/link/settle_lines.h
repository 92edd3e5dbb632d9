// Lines whose input reads wait until the inputs can be trusted. Some USB cables' drivers (pl2303,
// ch341, cdc_acm) answer a modem-status read with what the cable last reported on its interrupt
// endpoint, so right after SCL moves MISO still shows the bit before. This wrapper remembers when an
// output last changed and, before an input is read, waits until the settle time has passed since.
// It forwards every call once and counts the requests and the time the port took for them.
#pragma once
#include "link/line_interface.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class TSettleLines final : public TLineInterface {
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
    bool TakeSample() override { return Inner.TakeSample(); }
    void Wait(double ms, TDelay delay) override { Inner.Wait(ms, delay); }
    void Flush() override { Inner.Flush(); }
    bool PortLost() const override { return Inner.PortLost(); }

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
    void ResetStats() { Counters = {}; }

private:
    template <class TCall> auto Timed(TCall call);
    void Output(void (TLineInterface::*set)(bool), bool level);
    bool Input(bool (TLineInterface::*get)());
    void AwaitSettle();

    TLineInterface &Inner;
    std::function<double()> Settle;
    std::optional<double> Trial;
    TClock::time_point LastChange = TClock::now();
    TStats Counters;
};
