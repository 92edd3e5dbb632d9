#include "link/precise_delay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

namespace {

std::int64_t SteadyCount()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

constexpr std::int64_t SteadyFrequency =
    std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num;

constexpr int CalibrationSamples = 10000;

// Rounds halves to even (the default floating-point rounding mode) and keeps absurd requests
// (days of delay, NaN) inside the 64-bit range instead of overflowing.
std::int64_t RoundTicks(double ticks)
{
    constexpr double limit = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 2);
    if (!(ticks > -limit))
        return 0;
    return static_cast<std::int64_t>(std::nearbyint(std::min(ticks, limit)));
}

} // namespace

TPreciseDelay::TPreciseDelay(TCounter counter, std::int64_t frequency)
    : Counter(counter), Frequency(frequency)
{
}

void TPreciseDelay::Calibrate()
{
    Available = false;
    Overhead = 0.0;
    if (Frequency <= 0)
        return;
    std::vector<std::int64_t> samples(CalibrationSamples);
    for (auto &sample : samples) {
        const std::int64_t t0 = Counter();
        PreciseDelay(0.0);
        sample = Counter() - t0;
    }
    // The median ignores the few samples in which the thread was preempted.
    auto middle = samples.begin() + CalibrationSamples / 2;
    std::nth_element(samples.begin(), middle, samples.end());
    Overhead = static_cast<double>(*middle);
    Available = true;
}

void TPreciseDelay::PreciseDelay(double ms) const
{
    if (ms == 0.0)
        return;
    const std::int64_t ticks = RoundTicks(ms / 1000.0 * static_cast<double>(Frequency) - Overhead);
    const std::int64_t start = Counter();
    if (ticks <= 0)
        return;
    for (;;) {
        const std::int64_t now = Counter();
        if (now < start || now - start >= ticks)
            return;
    }
}

void TPreciseDelay::StartTiming()
{
    StartCount = Counter();
}

void TPreciseDelay::StopTiming()
{
    StopCount = Counter();
    Elapsed = Frequency > 0 ? static_cast<double>(StopCount - StartCount) / static_cast<double>(Frequency)
                            : 0.0;
}

TPreciseDelay &SystemDelay()
{
    static TPreciseDelay delay = [] {
        TPreciseDelay d(&SteadyCount, SteadyFrequency);
        d.Calibrate();
        return d;
    }();
    return delay;
}

// Calibrate while the program starts, before any window or thread exists.
static const bool CalibratedAtStart = (SystemDelay(), true);

void PreciseDelay(double ms)
{
    SystemDelay().PreciseDelay(ms);
}

void StartTiming()
{
    SystemDelay().StartTiming();
}

void StopTiming()
{
    SystemDelay().StopTiming();
}

double ElapsedSeconds()
{
    return SystemDelay().ElapsedSeconds();
}
