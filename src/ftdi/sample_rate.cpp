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
constexpr double RunSeconds = 0.250;
constexpr std::size_t SmallestRun = 256;
constexpr std::size_t LargestRun = 65536;
constexpr std::size_t FewestArrivals = 12;
constexpr double MostStray = 0.04;
constexpr double Agreement = 1.03;
constexpr double ShortestRun = 0.75;
constexpr int MostRuns = 6;

// Sorted values, at fraction q of the way from the first to the last.
double Quantile(const std::vector<double> &sorted, double q)
{
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

double Span(const std::vector<TSampleArrival> &arrivals)
{
    return arrivals.size() < 2 ? 0 : arrivals.back().Seconds - arrivals.front().Seconds;
}

std::size_t Samples(const std::vector<TSampleArrival> &arrivals)
{
    return arrivals.size() < 2 ? 0 : arrivals.back().Samples - arrivals.front().Samples;
}

// Each arrival is noted some milliseconds late (the USB frame, a busy hub, a loaded machine), and
// as completions come back in order, one noted late holds up those after it. The slope is the
// median of the slopes between all arrivals at least a third of the run apart (Theil and Sen): no
// single late stretch tilts it. How far the arrivals stray from that line (the middle half of them)
// says whether the run can be trusted.
std::optional<double> Fit(const std::vector<TSampleArrival> &arrivals)
{
    const std::size_t n = arrivals.size(), apart = n / 3;
    if (n < FewestArrivals)
        return std::nullopt;
    std::vector<double> slopes;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + apart; j < n; ++j)
            if (arrivals[j].Samples > arrivals[i].Samples)
                slopes.push_back((arrivals[j].Seconds - arrivals[i].Seconds) /
                                 static_cast<double>(arrivals[j].Samples - arrivals[i].Samples));
    if (slopes.empty())
        return std::nullopt;
    std::sort(slopes.begin(), slopes.end());
    const double period = Quantile(slopes, 0.5);
    std::vector<double> offsets;
    for (const TSampleArrival &a : arrivals)
        offsets.push_back(a.Seconds - period * static_cast<double>(a.Samples));
    std::sort(offsets.begin(), offsets.end());
    const double stray = Quantile(offsets, 0.75) - Quantile(offsets, 0.25);
    if (period <= 0 || stray > MostStray * Span(arrivals))
        return std::nullopt;
    return period;
}

// A probe, four times longer each time until it takes ProbeLongEnough, for the size of the runs.
std::optional<double> RoughPeriod(const TTimedTransfer &transfer)
{
    for (std::size_t probe = FirstProbe;; probe *= 4) {
        const std::optional<std::vector<TSampleArrival>> arrivals = transfer(probe);
        if (!arrivals)
            return std::nullopt;
        const double took = arrivals->empty() ? 0 : arrivals->back().Seconds;
        if (took >= ProbeLongEnough || probe >= LargestRun)
            return std::max(took, 1e-6) / static_cast<double>(probe);
    }
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

TMeasuredPeriod MeasureSamplePeriod(const TTimedTransfer &transfer, double expected, double enoughAbove)
{
    const std::optional<double> rough = expected > 0 ? expected : RoughPeriod(transfer);
    if (!rough)
        return {};
    auto size = std::clamp(static_cast<std::size_t>(RunSeconds / *rough), SmallestRun, LargestRun);
    std::vector<double> steady;
    if (expected > 0)
        steady.push_back(expected);
    for (int run = 0; run < MostRuns; ++run) {
        const std::optional<std::vector<TSampleArrival>> arrivals = transfer(size);
        if (!arrivals)
            return {};
        // A probe slowed by late arrivals makes the run too short to tell: it is made longer.
        if (const double span = Span(*arrivals); span < ShortestRun * RunSeconds && size < LargestRun) {
            const double seen = span / static_cast<double>(std::max<std::size_t>(Samples(*arrivals), 1));
            size = std::clamp(static_cast<std::size_t>(RunSeconds / std::max(seen, 1e-9)), size, LargestRun);
            continue;
        }
        const std::optional<double> period = Fit(*arrivals);
        if (!period)
            continue;
        if (enoughAbove > 0 && *period > enoughAbove)
            return {TMeasuredPeriod::TResult::Measured, *period};
        for (const double other : steady)
            if (std::max(*period, other) <= Agreement * std::min(*period, other))
                return {TMeasuredPeriod::TResult::Measured, (*period + other) / 2};
        steady.push_back(*period);
    }
    return {TMeasuredPeriod::TResult::Unsteady, 0};
}
