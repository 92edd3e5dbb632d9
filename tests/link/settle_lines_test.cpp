// The settle wait in front of a port whose driver reports input changes late.
#include "link/settle_lines.h"
#include "recording_lines.h"

#include <gtest/gtest.h>

namespace {

using E = TLineEvent;
using C = TLineCall;
using TClock = std::chrono::steady_clock;

class SettleLinesTest : public testing::Test {
protected:
    double Ms(TClock::time_point from) const
    {
        return std::chrono::duration<double, std::milli>(TClock::now() - from).count();
    }
    double Waited() const { return Lines.Stats().SettleSeconds; }

    double Settle = 20;
    TRecordingLines Inner;
    TSettleLines Lines{Inner, [this] { return Settle; }};
};

TEST_F(SettleLinesTest, AnInputReadWaitsOnlyWhileAnOutputChangeIsFresh)
{
    Inner.Input = [](C call) { return call == C::Cts; };
    Lines.SetRts(true);
    const TClock::time_point changed = TClock::now();
    EXPECT_TRUE(Lines.GetCTS());
    EXPECT_GE(Ms(changed), 20.0);
    const double waited = Waited();
    EXPECT_GT(waited, 0.0);

    // No output moved since: the inputs are current.
    EXPECT_FALSE(Lines.GetDSR());
    EXPECT_EQ(Waited(), waited);

    // The setting is asked at every read.
    Settle = 0;
    Lines.SetDtr(true);
    Lines.GetRI();
    EXPECT_EQ(Waited(), waited);

    EXPECT_EQ(Inner.Events, (std::vector<E>{{C::Rts, true}, {C::Cts, true}, {C::Dsr, false}, {C::Dtr, true}, {C::Ri, false}}));
    EXPECT_EQ(Lines.Stats().Requests, 5u);
}

TEST_F(SettleLinesTest, DeferredSamplesSettleWhenQueuedAndComeBackInOrder)
{
    Inner.Input = [](C call) { return call == C::Rlsd; };
    Lines.SetBreak(true);
    const TClock::time_point changed = TClock::now();
    Lines.QueueSample(2);
    EXPECT_GE(Ms(changed), 20.0);
    Lines.QueueSample(1);
    Lines.SetBreak(false);
    Lines.QueueSample(2);
    EXPECT_TRUE(Lines.TakeSample());
    EXPECT_FALSE(Lines.TakeSample());
    EXPECT_TRUE(Lines.TakeSample());
    EXPECT_EQ(Inner.Events, (std::vector<E>{{C::Break, true}, {C::Rlsd, true}, {C::Dsr, false}, {C::Break, false},
                                            {C::Rlsd, true}}));
}

// A measurement tries settles of its own, then hands the setting back.
TEST_F(SettleLinesTest, ATrialSettleStandsInForTheSetting)
{
    Lines.SetTrialSettle(0.0);
    Lines.SetRts(false);
    Lines.GetCTS();
    EXPECT_EQ(Waited(), 0.0);
    Lines.SetTrialSettle(std::nullopt);
    EXPECT_EQ(Lines.SettleMs(), 20.0);
    Lines.SetRts(true);
    Lines.GetCTS();
    EXPECT_GT(Waited(), 0.0);
}

} // namespace
