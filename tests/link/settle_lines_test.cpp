// The settle wait in front of a port whose driver reports input changes late.
#include "link/settle_lines.h"
#include "recording_lines.h"

#include <gtest/gtest.h>

namespace {

using E = TLineEvent;
using C = TLineCall;
using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point from)
{
    return std::chrono::duration<double, std::milli>(TClock::now() - from).count();
}

// Reads, deferred samples included, wait only while an output change is fresh; every call is
// passed on once, in order, and the setting is asked at every read.
TEST(SettleLinesTest, InputReadsWaitOnlyWhileAnOutputChangeIsFresh)
{
    double settle = 20;
    TRecordingLines inner;
    inner.Input = [](C call) { return call == C::Cts; };
    TSettleLines lines(inner, [&settle] { return settle; });

    lines.SetRts(true);
    TClock::time_point changed = TClock::now();
    EXPECT_TRUE(lines.GetCTS());
    EXPECT_GE(MsSince(changed), 20.0);
    const double waited = lines.Stats().SettleSeconds;
    EXPECT_FALSE(lines.GetDSR());
    EXPECT_EQ(lines.Stats().SettleSeconds, waited) << "no output moved since";

    lines.SetBreak(true);
    changed = TClock::now();
    lines.QueueSample(0);
    EXPECT_GE(MsSince(changed), 20.0);
    lines.QueueSample(1);
    EXPECT_TRUE(lines.TakeSample());
    EXPECT_FALSE(lines.TakeSample());

    settle = 10;
    lines.SetTrialSettle(0.0); // a measurement's own settle stands in for the setting
    const double beforeTrial = lines.Stats().SettleSeconds;
    lines.SetDtr(true);
    lines.GetRI();
    EXPECT_EQ(lines.Stats().SettleSeconds, beforeTrial);
    lines.SetTrialSettle(std::nullopt);
    EXPECT_EQ(lines.SettleMs(), 10.0);
    EXPECT_EQ(inner.Events, (std::vector<E>{{C::Rts, true}, {C::Cts, true}, {C::Dsr, false}, {C::Break, true},
                                            {C::Cts, true}, {C::Dsr, false}, {C::Dtr, true}, {C::Ri, false}}));
    EXPECT_EQ(lines.Stats().Requests, 8u);
}

} // namespace
