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

constexpr double LongEnough = 0.050;
constexpr std::size_t FirstSize = 16;
constexpr std::size_t LargestSize = 16384;
constexpr int Repeats = 3;
constexpr int Attempts = 3;
constexpr double Agreement = 1.10;

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
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        std::size_t n = FirstSize;
        std::optional<double> small, large;
        for (;;) {
            small = transfer(n);
            large = transfer(2 * n);
            if (!small || !large)
                return {};
            if (*large >= LongEnough || 2 * n >= LargestSize)
                break;
            n *= 2;
        }
        double shortestSmall = *small, shortestLarge = *large;
        double lowest = (*large - *small) / static_cast<double>(n), highest = lowest;
        for (int repeat = 1; repeat < Repeats; ++repeat) {
            small = transfer(n);
            large = transfer(2 * n);
            if (!small || !large)
                return {};
            shortestSmall = std::min(shortestSmall, *small);
            shortestLarge = std::min(shortestLarge, *large);
            const double slope = (*large - *small) / static_cast<double>(n);
            lowest = std::min(lowest, slope);
            highest = std::max(highest, slope);
        }
        const double period = (shortestLarge - shortestSmall) / static_cast<double>(n);
        if (lowest > 0 && highest <= lowest * Agreement && period > 0)
            return {TMeasuredPeriod::TResult::Measured, period};
    }
    return {TMeasuredPeriod::TResult::Unsteady, 0};
}
