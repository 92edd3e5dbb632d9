// The measurement of the chip's sample period on scripted arrivals: a late stretch, runs that stray,
// arrivals too scattered to trust, and a measurement that knows what to expect.
#include "ftdi/sample_rate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr double Period = 1.0 / 120000;
constexpr std::size_t PerRead = 248; // a read of four packets

// A transfer of samples at a period, its reads noted on the millisecond frame after they came
// back, up to jitter later still, and never before the one before them.
struct TScript {
    std::vector<double> Periods; // of the runs after the probes, in turn; the last one repeats
    double Jitter = 0.008;
    // How much later each read comes back, by the run (probes are run 0) and where it falls in it (0 to 1).
    std::function<double(int, double)> Late = [](int, double) { return 0.0; };
    // Each block of 16 reads held up by up to this much more (a hub or a machine too busy).
    double Blocks = 0;
    std::mt19937 Random{7};
    int Calls = 0, Runs = 0;

    std::vector<TSampleArrival> operator()(std::size_t samples)
    {
        // The probes come first: 256 samples, then four times as many each time.
        const bool probe = Runs == 0 && samples == (std::size_t{256} << (2 * Calls));
        ++Calls;
        const double period = probe ? Period : Periods[std::min<std::size_t>(Runs, Periods.size() - 1)];
        Runs += probe ? 0 : 1;
        const double length = static_cast<double>(samples) * period;
        std::vector<TSampleArrival> arrivals;
        double last = 0, block = 0;
        for (std::size_t got = PerRead;; got += PerRead) {
            got = std::min(got, samples);
            double at = static_cast<double>(got) * period;
            at += Late(Runs, at / length);
            if (got % (16 * PerRead) == PerRead)
                block = std::uniform_real_distribution<double>(0, Blocks)(Random);
            at = std::ceil(at * 1000) / 1000 + block + std::uniform_real_distribution<double>(0, Jitter)(Random);
            last = std::max(last, at);
            arrivals.push_back({got, last});
            if (got == samples)
                return arrivals;
        }
    }
};

TMeasuredPeriod Measure(TScript &script, double expected = 0, double enoughAbove = 0)
{
    return MeasureSamplePeriod([&script](std::size_t n) { return std::optional(script(n)); }, expected, enoughAbove);
}

// Reads noted only on the millisecond frames measure as well as reads noted as they come, though
// one read (2.07 ms of samples) is noted 2 or 3 ms after the one before.
TEST(SampleRate, FramesDoNotTiltThePeriod)
{
    for (const double jitter : {0.0, 0.008}) {
        TScript script{{Period}};
        script.Jitter = jitter;
        const TMeasuredPeriod m = Measure(script);
        ASSERT_EQ(m.Result, TMeasuredPeriod::TResult::Measured);
        EXPECT_NEAR(m.Seconds / Period, 1, jitter > 0 ? 0.01 : 0.002) << jitter;
    }
}

// A tenth of every run held up by 20 ms (a busy hub, a preempted thread) tilts the period by no
// more than a few parts in a thousand; two runs, after three probes. Near the end of a run such a
// stretch tilts it more, which the next runs make up for. A run whose later half all comes 30 ms
// late is no measurement at all.
TEST(SampleRate, ALateStretchDoesNotTiltThePeriod)
{
    const struct {
        int Run; // 0: every run
        double From, Most;
        int Calls;
    } stretches[] = {{0, 0.45, 0.004, 3 + 2}, {1, 0.85, 0.016, 3 + 3}, {2, 0.05, 0.016, 3 + 3}};
    for (const auto &s : stretches) {
        TScript script{{Period}};
        script.Late = [&s](int run, double at) {
            return (s.Run == 0 || run == s.Run) && at >= s.From && at < s.From + 0.1 ? 0.020 : 0.0;
        };
        const TMeasuredPeriod m = Measure(script);
        ASSERT_EQ(m.Result, TMeasuredPeriod::TResult::Measured) << s.From;
        EXPECT_NEAR(m.Seconds / Period, 1, s.Most) << s.From;
        EXPECT_LE(script.Calls, s.Calls) << s.From;
    }
    TScript stepped{{Period}};
    stepped.Late = [](int, double at) { return at >= 0.5 ? 0.030 : 0.0; };
    EXPECT_EQ(Measure(stepped).Result, TMeasuredPeriod::TResult::Unsteady);
}

// A run that strays is not taken: the measurement is the two that agree, not the first nor the last
// nor all of them. Arrivals too scattered to trust measure nothing, after six runs.
TEST(SampleRate, OnlyRunsThatAgreeMakeTheMeasurement)
{
    TScript straying{{1.05 * Period, Period, 0.995 * Period, 1.08 * Period}};
    const TMeasuredPeriod m = Measure(straying);
    ASSERT_EQ(m.Result, TMeasuredPeriod::TResult::Measured);
    EXPECT_NEAR(m.Seconds / Period, 0.9975, 0.003);
    EXPECT_EQ(straying.Runs, 3);

    TScript scattered{{Period}};
    scattered.Blocks = 0.100;
    EXPECT_EQ(Measure(scattered).Result, TMeasuredPeriod::TResult::Unsteady);
    EXPECT_EQ(scattered.Runs, 6);
}

// Asked again after a first measurement, the chip needs no probe, and one run that agrees with what
// is expected will do; one run is enough too when it shows a chip slower than a bound (it will be
// asked again and measured anew).
TEST(SampleRate, WhatIsExpectedShortensTheMeasurement)
{
    TScript again{{1.01 * Period}};
    const TMeasuredPeriod m = Measure(again, Period);
    ASSERT_EQ(m.Result, TMeasuredPeriod::TResult::Measured);
    EXPECT_NEAR(m.Seconds / Period, 1.005, 0.003);
    EXPECT_EQ(again.Calls, 1);

    TScript slow{{4 * Period}};
    const TMeasuredPeriod first = Measure(slow, 0, 1.1 * Period);
    ASSERT_EQ(first.Result, TMeasuredPeriod::TResult::Measured);
    EXPECT_NEAR(first.Seconds / Period, 4, 0.04);
    EXPECT_EQ(slow.Runs, 1);
}

} // namespace
