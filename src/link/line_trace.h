// Records what passes through a line interface (a real port, the virtual adapter, a cable's chip in
// bit-bang mode) as a VCD file with the signals rst, sck, mosi and miso: the logical pin levels after
// the inversions of the settings, and miso as the program read it. Every call is forwarded unchanged,
// once. A deferred sample is written when the program takes it, at the place it was queued.
#pragma once
#include "link/forwarding_lines.h"
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

struct TSettings;

class TLineTraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TLineTrace : public TForwardingLines {
public:
    // Throws TLineTraceError when the file cannot be created.
    TLineTrace(TLineInterface &inner, const TSettings &settings, const std::string &path);
    TLineTrace(TLineInterface &, const TSettings &&, const std::string &) = delete;
    ~TLineTrace() override;
    TLineTrace(const TLineTrace &) = delete;
    TLineTrace &operator=(const TLineTrace &) = delete;

    void SetBreak(bool level) override;
    void SetRts(bool level) override;
    void SetDtr(bool level) override;
    bool GetCTS() override { return Sampled(0, Inner.GetCTS()); }
    bool GetDSR() override { return Sampled(1, Inner.GetDSR()); }
    bool GetRLSD() override { return Sampled(2, Inner.GetRLSD()); }
    bool GetRI() override { return Sampled(3, Inner.GetRI()); }
    void QueueSample(int line) override;
    bool TakeSample() override;

    // Sends what the port holds and writes the recorded changes out (up to the first sample not yet
    // taken). The first write failure is kept in WriteError() and ends recording.
    void Flush() override;
    const std::string &WriteError() const { return Error; }

    // Microseconds at which the port's latest change takes effect, for a port that streams its
    // waveform with a timing of its own; the steady clock from the start of recording otherwise.
    void SetClock(std::function<std::int64_t()> clock) { Clock = std::move(clock); }

private:
    TLineInterface &Next() const override { return Inner; }

    enum TSignal : std::size_t { Rst, Sck, Mosi, Miso, SignalCount };
    using TLevels = std::array<std::optional<bool>, SignalCount>;
    struct TEvent {
        std::int64_t Stamp;
        TSignal Signal;
        std::int8_t Value; // 0 or 1; negative: a sample not taken yet
    };

    void OutputChanged(int index, bool level);
    bool Sampled(int index, bool state);
    void Record(const TLevels &levels);
    std::int64_t Stamp();
    void Emit();
    void WriteFile();

    TLineInterface &Inner;
    const TSettings &Cfg;
    std::string Path;
    std::FILE *File = nullptr;
    std::string Buffer;
    std::string Error;
    std::chrono::steady_clock::time_point Start;
    std::function<std::int64_t()> Clock;
    std::int64_t LastStamp = 0;
    std::int64_t WrittenStamp = 0;
    std::array<std::optional<bool>, 3> Outputs; // unknown until the program first sets them
    TLevels Shown;                              // as recorded so far
    std::optional<bool> WrittenMiso;
    std::deque<TEvent> Events;                  // recorded, not written yet
    std::uint64_t FirstEvent = 0;               // the number of Events.front() among all events
    std::deque<std::uint64_t> Samples;          // events of samples not taken yet
};
