#include "ftdi/sample_rate.h"

#include <algorithm>
#include <cmath>

namespace {

// The chip clocks bit-bang samples at 16 times its baud rate (AN232R-01), and libftdi programs the
// chip with four times the rate it is given while a bit-bang mode is on: a rate r gives 64 r samples
// per second, as far as the documents go (the port measures what the chip really does). The
// baud-rate generator divides 3 MHz by n (up to 16383); taking n among the divisors of 750000 keeps
// libftdi's argument (750000 / n) whole, so nothing is rounded to a faster rate.
constexpr int SampleClock = 48000000;
constexpr int LibFtdiClock = SampleClock / 64;
constexpr int SlowestDivisor = 15625; // the largest divisor of 750000 the generator takes

constexpr std::size_t FirstProbe = 256;
constexpr double ProbeLongEnough = 0.020;
constexpr double RunSeconds = 0.200;
constexpr std::size_t SmallestRun = 256;
constexpr std::size_t LargestRun = 65536;
constexpr std::size_t FewestSlopes = 4;
constexpr double MostSpread = 0.10;
constexpr double Agreement = 1.03;
constexpr int MostRuns = 6;

// Sorted values, at fraction q of the way from the first to the last.
double Quantile(const std::vector<double> &sorted, double q)
{
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

struct TRun {
    double Period;
    std::vector<double> Slopes; // sorted
};

std::optional<TRun> Fit(const std::vector<TSampleArrival> &arrivals)
{
    const std::size_t half = arrivals.size() / 2;
    std::vector<double> slopes;
    for (std::size_t i = 0; i + half < arrivals.size() && half > 0; ++i) {
        const TSampleArrival &from = arrivals[i], &to = arrivals[i + half];
        if (to.Samples > from.Samples)
            slopes.push_back((to.Seconds - from.Seconds) / static_cast<double>(to.Samples - from.Samples));
    }
    if (slopes.size() < FewestSlopes)
        return std::nullopt;
    std::sort(slopes.begin(), slopes.end());
    const double median = Quantile(slopes, 0.5);
    if (median <= 0 || Quantile(slopes, 0.75) - Quantile(slopes, 0.25) > MostSpread * median)
        return std::nullopt;
    return TRun{median, std::move(slopes)};
}

double PooledMedian(const TRun &a, const TRun &b)
{
    std::vector<double> all(a.Slopes);
    all.insert(all.end(), b.Slopes.begin(), b.Slopes.end());
    std::sort(all.begin(), all.end());
    return Quantile(all, 0.5);
}

} // namespace

TBitBangRate BitBangRateFor(double clockDelayMs)
{
    const double period = std::max(1.0 / DefaultSampleRate, clockDelayMs / 2000.0);
    auto divisor = static_cast<int>(std::min<double>(std::ceil(period * SampleClock - 1e-6), SlowestDivisor));
    while (LibFtdiClock % divisor != 0)
        ++divisor;
    return {SampleClock / divisor, LibFtdiClock / divisor};
}

TMeasuredPeriod MeasureSamplePeriod(const TTimedTransfer &transfer)
{
    std::size_t probe = FirstProbe;
    double took = 0;
    for (;;) {
        const std::optional<std::vector<TSampleArrival>> arrivals = transfer(probe);
        if (!arrivals)
            return {};
        took = arrivals->empty() ? 0 : arrivals->back().Seconds;
        if (took >= ProbeLongEnough || probe >= LargestRun)
            break;
        probe *= 4;
    }
    const double rough = std::max(took, 1e-6) / static_cast<double>(probe);
    const auto size = std::clamp(static_cast<std::size_t>(RunSeconds / rough), SmallestRun, LargestRun);
    std::vector<TRun> steady;
    for (int run = 0; run < MostRuns; ++run) {
        const std::optional<std::vector<TSampleArrival>> arrivals = transfer(size);
        if (!arrivals)
            return {};
        std::optional<TRun> fit = Fit(*arrivals);
        if (!fit)
            continue;
        for (const TRun &other : steady)
            if (std::max(fit->Period, other.Period) <= Agreement * std::min(fit->Period, other.Period))
                return {TMeasuredPeriod::TResult::Measured, PooledMedian(*fit, other)};
        steady.push_back(std::move(*fit));
    }
    return {TMeasuredPeriod::TResult::Unsteady, 0};
}
