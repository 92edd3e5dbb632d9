// Records what passes through a line interface (a real port or the virtual adapter) as a VCD file
// with the signals rst, sck, mosi and miso: the logical pin levels after the inversions of the
// settings, and miso as the program read it. Every call is forwarded unchanged, once.
#pragma once
#include "link/line_interface.h"
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

struct TSettings;

class TLineTraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TLineTrace : public TLineInterface {
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

    // Writes the buffered changes out. The first failure is kept in WriteError() and ends recording.
    void Flush();
    const std::string &WriteError() const { return Error; }

private:
    enum TSignal : std::size_t { Rst, Sck, Mosi, Miso, SignalCount };
    using TLevels = std::array<std::optional<bool>, SignalCount>;

    void OutputChanged(int index, bool level);
    bool Sampled(int index, bool state);
    void Record(const TLevels &levels);
    void Stamp();

    TLineInterface &Inner;
    const TSettings &Cfg;
    std::string Path;
    std::FILE *File = nullptr;
    std::string Buffer;
    std::string Error;
    std::chrono::steady_clock::time_point Start;
    std::int64_t LastStamp = 0;
    std::array<std::optional<bool>, 3> Outputs; // unknown until the program first sets them
    TLevels Shown;
};
