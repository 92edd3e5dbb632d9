// The rate an FTDI chip makes bit-bang samples at: what the port asks for, and what it measures.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

// The rate the port asks for and the value libftdi is given for it.
struct TBitBangRate {
    int SampleRate;
    int LibFtdiBaud;
};
// Never faster than DefaultSampleRate, and each sample lasts at least half the clock delay.
constexpr int DefaultSampleRate = 120000;
TBitBangRate BitBangRateFor(double clockDelayMs);

// One transfer of this many samples of the lines at rest: how many samples had come back at each of
// its reads' completions, and when, in seconds since it was submitted on the chip's clock; empty
// when the transfer failed.
struct TSampleArrival {
    std::size_t Samples;
    double Seconds;
};
using TTimedTransfer = std::function<std::optional<std::vector<TSampleArrival>>(std::size_t samples)>;

struct TMeasuredPeriod {
    enum class TResult { Measured, Failed, Unsteady } Result = TResult::Failed;
    double Seconds = 0; // one sample, when measured
};

// A probe, four times longer each time until it takes 20 ms, gives a rough rate; then come runs of
// some 0.2 s each. Each arrival is noted a few ms late (the USB frame, a busy hub, a loaded machine),
// which tilts a slope between two arrivals by that much over their distance: a run's slopes are taken
// between arrivals half the run apart, and their median is the run's period. A run whose middle half
// of slopes spreads by more than 10% of it is unsteady; two steady runs that agree within 3% make
// the measurement, the median of all their slopes the period. Unsteady when no two do in six runs.
TMeasuredPeriod MeasureSamplePeriod(const TTimedTransfer &transfer);
