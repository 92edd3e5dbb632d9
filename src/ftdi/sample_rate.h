// The rate an FTDI chip makes bit-bang samples at: what the port asks for, and what it measures.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>

// The rate the port asks for and the value libftdi is given for it.
struct TBitBangRate {
    int SampleRate;
    int LibFtdiBaud;
};
// Never faster than DefaultSampleRate, and each sample lasts at least half the clock delay.
constexpr int DefaultSampleRate = 120000;
TBitBangRate BitBangRateFor(double clockDelayMs);

// A transfer of this many samples of the lines at rest, timed on the chip's clock, in seconds;
// empty when it failed.
using TTimedTransfer = std::function<std::optional<double>(std::size_t samples)>;

struct TMeasuredPeriod {
    enum class TResult { Measured, Failed, Unsteady } Result = TResult::Failed;
    double Seconds = 0; // one sample, when measured
};

// Times transfers of two sizes, growing until the larger takes at least 50 ms, a few times over,
// and takes the difference of the shortest time of each size: what a transfer costs besides its
// samples (USB latency) cancels, and a pause on the way only lengthens a time, so the shortest
// are the truest. Unsteady when the repeats disagree by more than 10% every time.
TMeasuredPeriod MeasureSamplePeriod(const TTimedTransfer &transfer);
