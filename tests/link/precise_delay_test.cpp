// The busy-wait delay against a scripted counter (exact read counts) and against the real clock.
#include "link/precise_delay.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::int64_t FakeNow = 0;
int FakeReads = 0;
std::int64_t FakeStep = 1;
std::int64_t FakeCounter()
{
    ++FakeReads;
    return FakeNow += FakeStep;
}

class PreciseDelayTest : public testing::Test {
protected:
    void SetUp() override
    {
        FakeNow = 1000;
        FakeReads = 0;
        FakeStep = 1;
    }
};

TEST_F(PreciseDelayTest, ZeroAndNegativeRequests)
{
    TPreciseDelay delay(&FakeCounter, 10'000'000);
    delay.PreciseDelay(0.0);
    EXPECT_EQ(FakeReads, 0) << "a zero delay must not read the counter";
    delay.PreciseDelay(-5.0);
    EXPECT_EQ(FakeReads, 1);
}

TEST_F(PreciseDelayTest, CalibrationSubtractsTheOverhead)
{
    TPreciseDelay delay(&FakeCounter, 10'000'000);
    delay.Calibrate();
    EXPECT_TRUE(delay.CounterAvailable());
    EXPECT_DOUBLE_EQ(delay.DelayOverhead(), 1.0); // two reads one count apart per empty delay
    FakeReads = 0;
    delay.PreciseDelay(0.001); // 10 counts minus the overhead of 1
    EXPECT_EQ(FakeReads, 1 + 9);
}

TEST_F(PreciseDelayTest, TicksRoundHalvesToEven)
{
    TPreciseDelay delay(&FakeCounter, 1000);
    delay.PreciseDelay(2.5); // 2.5 counts -> 2
    EXPECT_EQ(FakeReads, 1 + 2);
    FakeReads = 0;
    delay.PreciseDelay(3.5); // 3.5 counts -> 4
    EXPECT_EQ(FakeReads, 1 + 4);
}

TEST_F(PreciseDelayTest, PreemptedSamplesDoNotDistortCalibration)
{
    static int call = 0;
    call = 0;
    TPreciseDelay delay(+[]() -> std::int64_t {
        ++call;
        return FakeNow += (call % 1000 == 0) ? 1'000'000 : 2; // every 500th sample preempted
    }, 1'000'000'000);
    delay.Calibrate();
    EXPECT_DOUBLE_EQ(delay.DelayOverhead(), 2.0);
}

TEST_F(PreciseDelayTest, BackwardsCounterEndsTheWait)
{
    TPreciseDelay delay(&FakeCounter, 1000);
    FakeStep = -1;
    delay.PreciseDelay(1000.0);
    EXPECT_EQ(FakeReads, 2);
}

TEST_F(PreciseDelayTest, MissingFrequencySkipsCalibrationAndNeverDivides)
{
    TPreciseDelay delay(&FakeCounter, 0);
    delay.Calibrate();
    EXPECT_FALSE(delay.CounterAvailable());
    EXPECT_EQ(delay.DelayOverhead(), 0.0);
    delay.PreciseDelay(100.0);
    EXPECT_EQ(FakeReads, 1);
    delay.StartTiming();
    delay.StopTiming();
    EXPECT_EQ(delay.ElapsedSeconds(), 0.0);
}

TEST(SystemDelay, CalibratedAndMeasuresRealTime)
{
    EXPECT_TRUE(SystemDelay().CounterAvailable());
    EXPECT_EQ(SystemDelay().CounterFrequency(), 1'000'000'000);
    StartTiming();
    PreciseDelay(2.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopTiming();
    // Generous bounds: the machine is shared.
    EXPECT_GE(ElapsedSeconds(), 0.050);
    EXPECT_LT(ElapsedSeconds(), 5.0);

    const auto t0 = std::chrono::steady_clock::now();
    PreciseDelay(3.0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(2900));
}

} // namespace
