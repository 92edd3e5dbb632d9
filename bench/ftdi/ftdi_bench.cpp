// What a USB cable with an FTDI chip costs, through the ftdi port and its libftdi driver on the model
// of the chip on a full-speed USB bus (sim/ftdi_bus.h: 1 ms frames, 64-byte packets with their status
// bytes, the latency timer, completions up to Jitter late), with the default settings:
// - the open's time, with the sample-rate measurement, for chips that clock as the documents' fastest
//   reading says and 4, 16 and 64 times slower, at 0, 4 and 8 ms of jitter (goal: under 1 s), and how
//   far the rate measured is from the chip's;
// - an 8 KiB code write as a multiple of the waits it must make, at 0, 4 and 8 ms of jitter (goal:
//   1.15 at most), and an 8 KiB read (goal: 5 s at most);
// - the terminal's bytes delivered against those the chip's UART heard, at 9600, 38400 and 115200 Bd
//   with the target printing without a pause and an operation every second (goal: all of them);
// - the processor time of an 8 KiB write on the host's own clock, against its wall time (goal: 10%
//   at most), without what the model itself took ("--quick" leaves this half-minute run out);
// - the serial back end on the same cable through the kernel's driver, for comparison, where each
//   line request (72 per byte written) is a USB round trip.
// Everything but the processor time runs on the model's virtual clock.
#include "buffer/memory_buffer.h"
#include "ftdi/ftdi_port.h"
#include "ftdi/libftdi_driver.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "quiet_ui.h"
#include "settings/settings.h"
#include "sim/ftdi_bus.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr double UsbLatency = 0.001; // seconds per round trip of a line request through the kernel's driver
constexpr int Bytes = 8192;
constexpr double Jitters[] = {0, 0.004, 0.008};

TFtdiBus *Clocked = nullptr;
double SleptMs = 0;
void CountSleep(int ms)
{
    SleptMs += ms;
    if (Clocked)
        Clocked->SleepFor(ms / 1000.0);
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The serial back end on a USB cable: every line request is a round trip, waits take their time,
// and the chip lives on that modelled time.
class TUsbSerialModel final : public TImmediateLines {
public:
    TUsbSerialModel(TVirtualChip &chip, const TSettings &settings) : Adapter(chip, settings), Chip(chip)
    {
        Chip.SetClock([this] { return Start + std::chrono::duration_cast<TVirtualChip::TClock::duration>(
                                                  std::chrono::duration<double>(Seconds)); });
    }
    ~TUsbSerialModel() override { Chip.SetClock(nullptr); }

    void SetBreak(bool level) override { Request(), Adapter.SetBreak(level); }
    void SetRts(bool level) override { Request(), Adapter.SetRts(level); }
    void SetDtr(bool level) override { Request(), Adapter.SetDtr(level); }
    bool GetCTS() override { return Request(), Adapter.GetCTS(); }
    bool GetDSR() override { return Request(), Adapter.GetDSR(); }
    bool GetRLSD() override { return Request(), Adapter.GetRLSD(); }
    bool GetRI() override { return Request(), Adapter.GetRI(); }
    void Wait(double ms, TDelay) override { Seconds += ms / 1000.0; }

    std::uint64_t Requests = 0;
    double Seconds = 0;

private:
    void Request()
    {
        ++Requests;
        Seconds += UsbLatency;
    }

    TVirtualAdapter Adapter;
    TVirtualChip &Chip;
    TVirtualChip::TClock::time_point Start = TVirtualChip::TClock::now();
};

struct TRun {
    double Seconds = 0; // on the cable
    double WallSeconds = 0;
    double CpuSeconds = 0;
    double ModelCpuSeconds = 0;
    TMemoryBuffer Memory;
    std::vector<std::uint8_t> Chip;
};

void Execute(TOperationCode code, TLineInterface &lines, const TSettings &settings, TMemoryBuffer &memory)
{
    TProgStatus status;
    TQuietUi ui;
    TProgContext context{status, memory, settings, lines, ui, nullptr, &CountSleep};
    TProgRunner runner(context);
    runner.StartOperation(code);
    runner.WaitForEnd();
}

TMemoryBuffer Pattern()
{
    TMemoryBuffer memory;
    memory.WholeDevice = true;
    for (std::size_t i = 0; i < BufferSize; ++i)
        memory.Buffer[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    return memory;
}

TSimImage CodeImage(const std::vector<std::uint8_t> &contents)
{
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    image.Code = contents;
    return image;
}

// The chip behind the cable, the model of the bus, and the port on it.
struct TCable {
    TCable(const TSettings &settings, double factor, double jitter, unsigned seed = 1, bool realTime = false,
           int baud = 9600)
        : Bus(std::make_unique<TFtdiBus>(Chip, settings, seed))
    {
        Clocked = Bus.get();
        Bus->RateFactor = factor;
        Bus->Jitter = jitter;
        Bus->RealTime = realTime;
        Port = std::make_unique<TFtdiPort>(CreateLibFtdiDriver(*Bus), "ftdi", settings);
        const double start = Bus->Seconds();
        Opened = Port->Open({baud, 'N', 8, 1});
        OpenSeconds = Bus->Seconds() - start;
    }
    ~TCable() { Clocked = nullptr; }

    TRun Run(TOperationCode code, const TSettings &settings)
    {
        TRun run;
        run.Memory = Pattern();
        const double start = Bus->Seconds(), model = Bus->ModelCpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        Execute(code, Port->BitBang(), settings, run.Memory);
        run.CpuSeconds = CpuSeconds() - cpuStart;
        run.ModelCpuSeconds = Bus->ModelCpuSeconds() - model;
        run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        run.Seconds = Bus->Seconds() - start;
        run.Chip = Chip.Contents().Code;
        return run;
    }

    TVirtualChip Chip{TChipKind::AT89S8252};
    std::unique_ptr<TFtdiBus> Bus;
    std::unique_ptr<TFtdiPort> Port;
    bool Opened = false;
    double OpenSeconds = 0;
};

// The waits an operation must make, its end steps included: StartProgramming, the presence test
// (three writes and 30 ms of sleeps), one write delay per byte written, two EndProgramming.
double MandatedSeconds(const TSettings &s, int writes)
{
    const double ms = s.ResetDelay1 + 3 * s.WriteDelay + 30 + writes * s.WriteDelay +
                      2 * (s.ResetDelay1 + s.ResetDelay2);
    return ms / 1000.0;
}

const char *FactorName(double factor)
{
    return factor == 1 ? "1" : factor == 2 ? "2" : factor == 0.25 ? "1/4" : factor == 1 / 16.0 ? "1/16" : "1/64";
}

void Opens(const TSettings &settings)
{
    std::printf("The open's time in seconds, the worst of 5 (goal <= 1), and the worst error of the rate measured:\n");
    std::printf("  chip's rate       jitter 0 ms          4 ms                 8 ms\n");
    for (const double factor : {1.0, 1 / 4.0, 1 / 16.0, 1 / 64.0, 2.0}) {
        std::printf("  %-4s of the docs' ", FactorName(factor));
        for (const double jitter : Jitters) {
            double worstOpen = 0, worstError = 0;
            std::string refused;
            for (unsigned seed = 1; seed <= 5; ++seed) {
                TCable cable(settings, factor, jitter, seed);
                worstOpen = std::max(worstOpen, cable.OpenSeconds);
                if (!cable.Opened) {
                    refused = cable.Port->OpenError().substr(0, 28);
                    continue;
                }
                worstError = std::max(worstError, std::abs(cable.Port->Rate().Measured / cable.Bus->SampleRate() - 1));
            }
            if (refused.empty())
                std::printf("  %.2f s (%4.1f%%)     ", worstOpen, 100 * worstError);
            else
                std::printf("  refused, %.2f s     ", worstOpen);
        }
        std::printf("\n");
    }
}

void Writes(const TSettings &settings)
{
    const std::vector<std::uint8_t> erased(Bytes, 0xFF);
    const double mandated = MandatedSeconds(settings, Bytes);
    std::printf("\n8 KiB code write against its mandated waits (%.2f s, goal <= 1.15) and 8 KiB code read (goal <= 5 s):\n",
                mandated);
    for (const double jitter : Jitters) {
        TCable writer(settings, 1, jitter);
        const TRun write = writer.Run(opWriteCode, settings);
        TCable reader(settings, 1, jitter);
        reader.Chip.SetContents(CodeImage(write.Chip));
        const TRun read = reader.Run(opReadCode, settings);
        const bool same = std::equal(read.Memory.Buffer.begin(), read.Memory.Buffer.begin() + Bytes, write.Chip.begin());
        const bool written = std::equal(write.Chip.begin(), write.Chip.end(), Pattern().Buffer.begin());
        std::printf("  jitter %.0f ms: write %.3f (%.2f s)   read %.2f s   (model: wall %.1f s, cpu %.1f s)%s\n",
                    jitter * 1000, write.Seconds / mandated, write.Seconds, read.Seconds,
                    write.WallSeconds + read.WallSeconds, write.CpuSeconds + read.CpuSeconds,
                    same && written ? "" : "   THE BYTES DIFFER");
    }
}

// The target prints all the time; the terminal polls every 50 ms and an operation (a presence test,
// as korvel-cli detect makes it) starts every second.
void Terminal(const TSettings &settings)
{
    std::printf("\nTerminal bytes delivered of those the chip's UART heard, 10 s of steady output, an operation every "
                "second (goal 100%%):\n");
    for (const int baud : {9600, 38400, 115200}) {
        TCable cable(settings, 1, 0.004, 1, false, baud);
        cable.Bus->Talk(baud / 10.0, 0, 10);
        std::size_t shown = 0;
        for (int poll = 1; poll <= 220; ++poll) {
            cable.Bus->Advance(0.05);
            shown += cable.Port->ReadQueued().size();
            if (poll % 20 == 0 && poll <= 200) {
                TMemoryBuffer detect;
                detect.HighestAddress = -1;
                Execute(opVerifyCode, cable.Port->BitBang(), settings, detect);
            }
        }
        const std::size_t heard = cable.Bus->Heard().size();
        std::printf("  %6d Bd: %zu of %zu (%.2f%%); besides, sent while an operation held the chip in bit-bang mode "
                    "(out of reset before the lines were at rest), never heard: %zu\n",
                    baud, shown,
                    heard, 100.0 * static_cast<double>(shown) / static_cast<double>(std::max<std::size_t>(heard, 1)),
                    cable.Bus->LostInBitBang());
    }
}

void ProcessorTime(const TSettings &settings)
{
    TCable cable(settings, 1, 0, 1, true);
    const TRun write = cable.Run(opWriteCode, settings);
    const double ours = write.CpuSeconds - write.ModelCpuSeconds;
    std::printf("\nProcessor time of an 8 KiB write on the host's clock: %.2f s of %.1f s wall, %.1f%% (goal <= 10%%); "
                "the model of the bus took %.2f s besides\n",
                ours, write.WallSeconds, 100 * ours / write.WallSeconds, write.ModelCpuSeconds);
}

void SerialBackEnd(const TSettings &settings)
{
    TMemoryBuffer memory = Pattern();
    TVirtualChip chip(TChipKind::AT89S8252);
    chip.SetContents(CodeImage(std::vector<std::uint8_t>(Bytes, 0xFF)));
    TUsbSerialModel lines(chip, settings);
    SleptMs = 0;
    Execute(opWriteCode, lines, settings, memory);
    std::printf("\nThe serial back end on the same cable, through the kernel's driver: write %.1f s (%.1f line requests "
                "per byte)\n",
                lines.Seconds + SleptMs / 1000.0, static_cast<double>(lines.Requests) / Bytes);
}

} // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const TSettings settings; // the defaults: 3 ms write delay, 200 ms reset delays, no clock delay
    Opens(settings);
    Writes(settings);
    Terminal(settings);
    if (!quick)
        ProcessorTime(settings);
    SerialBackEnd(settings);
}
