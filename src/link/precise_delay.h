// Busy-wait delays in milliseconds on the steady clock, corrected for their own call overhead, and
// the timing of one programming operation.
#pragma once
#include <cstdint>

class TPreciseDelay {
public:
    using TCounter = std::int64_t (*)();

    // counter: current count; frequency: counts per second, 0 when unavailable.
    TPreciseDelay(TCounter counter, std::int64_t frequency);

    // Measures the cost of an empty delay (the median of 10000 samples, so that a preempted
    // sample cannot distort it). Skipped when no frequency is available.
    void Calibrate();

    void PreciseDelay(double ms) const;
    void StartTiming();
    void StopTiming();
    double ElapsedSeconds() const { return Elapsed; }

    std::int64_t CounterFrequency() const { return Frequency; }
    double DelayOverhead() const { return Overhead; }
    bool CounterAvailable() const { return Available; }

private:
    TCounter Counter;
    std::int64_t Frequency;
    double Overhead = 0.0;
    bool Available = false;
    std::int64_t StartCount = 0;
    std::int64_t StopCount = 0;
    double Elapsed = 0.0;
};

// The process-wide instance on the steady clock, calibrated on first use (before main() in
// practice, since the link's static initialisation touches it).
TPreciseDelay &SystemDelay();

void PreciseDelay(double ms);
void StartTiming();
void StopTiming();
double ElapsedSeconds();
