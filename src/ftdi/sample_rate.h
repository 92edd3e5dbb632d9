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
// some 0.25 s each. Each arrival is noted a few ms late (the USB frame, a busy hub, a loaded
// machine), and one noted late holds up those after it: a run's period is the median of the slopes
// between all its arrivals at least a third of the run apart, which no late stretch tilts much. A
// run whose arrivals stray from that line by more than 4% of its length (the middle half of them)
// is unsteady; two steady runs that agree within 3% make the measurement, their mean the period.
// Unsteady when no two do in six runs.
// expected: the period a first measurement leads to expect after the rate was asked again; it counts
// as one of the runs, and no probe is needed. enoughAbove: one steady run that finds a longer period
// is enough, as the chip will be asked for another rate and timed again.
TMeasuredPeriod MeasureSamplePeriod(const TTimedTransfer &transfer, double expected = 0, double enoughAbove = 0);
