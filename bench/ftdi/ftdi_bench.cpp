// Prints what an 8 KiB code write and read cost on a USB cable with an FTDI chip, for chips that make
// as many samples per second as the documents' fastest reading says and for chips that make 4, 16 and
// 64 times fewer or twice as many: through the ftdi port on the fake cable (default settings), on the
// fake's clock (the samples at the chip's own rate, 1 ms per bulk round trip, 0.125 ms per control
// request) plus the waits made on the host, against the serial back end on the same cable through
// the kernel's driver, where each line request (72 per byte written) is a round trip. Beside each run:
// the wall time and the processor time the benchmark itself took.
#include "buffer/memory_buffer.h"
#include "ftdi/ftdi_port.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "quiet_ui.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {

constexpr double UsbLatency = 0.001; // seconds per round trip, as full-speed USB gives
constexpr int Bytes = 8192;

TFtdiFake *Clocked = nullptr;
double SleptMs = 0;
void CountSleep(int ms)
{
    SleptMs += ms;
    if (Clocked)
        Clocked->Advance(ms / 1000.0);
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
    double Seconds = 0;      // on the cable
    double RoundTrips = 0;   // bulk and control
    double WallSeconds = 0;  // the benchmark's own
    double CpuSeconds = 0;
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

// A cable whose chip makes factor times the samples the documents' fastest reading gives.
struct TCable {
    TCable(double factor, const TSettings &settings, const std::vector<std::uint8_t> &contents)
    {
        Chip.SetContents(CodeImage(contents));
        auto fake = std::make_unique<TFtdiFake>(Chip, settings);
        Fake = Clocked = fake.get();
        Fake->SetHostTime(false);
        Fake->RateFactor = factor;
        Port = std::make_unique<TFtdiPort>(std::move(fake), "ftdi", settings);
        Opened = Port->Open({9600, 'N', 8, 1});
    }
    ~TCable() { Clocked = nullptr; }

    TRun Run(TOperationCode code, const TSettings &settings)
    {
        TRun run;
        run.Memory = Pattern();
        const TFtdiStats before = Port->Stats();
        const auto start = Fake->Now();
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        SleptMs = 0;
        Execute(code, Port->BitBang(), settings, run.Memory);
        const TFtdiStats after = Port->Stats();
        run.CpuSeconds = CpuSeconds() - cpuStart;
        run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        run.Seconds = std::chrono::duration<double>(Fake->Now() - start).count() + after.HostWaitSeconds -
                      before.HostWaitSeconds;
        run.RoundTrips = static_cast<double>(after.Transfers + after.ControlRequests - before.Transfers -
                                             before.ControlRequests);
        run.Chip = Chip.Contents().Code;
        return run;
    }

    TVirtualChip Chip{TChipKind::AT89S8252};
    TFtdiFake *Fake = nullptr;
    std::unique_ptr<TFtdiPort> Port;
    bool Opened = false;
};

TRun ThroughSerial(TOperationCode code, const TSettings &settings, const std::vector<std::uint8_t> &contents)
{
    TRun run;
    run.Memory = Pattern();
    TVirtualChip chip(TChipKind::AT89S8252);
    chip.SetContents(CodeImage(contents));
    TUsbSerialModel lines(chip, settings);
    SleptMs = 0;
    Execute(code, lines, settings, run.Memory);
    run.RoundTrips = static_cast<double>(lines.Requests);
    run.Seconds = lines.Seconds + SleptMs / 1000.0;
    run.Chip = chip.Contents().Code;
    return run;
}

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

} // namespace

int main()
{
    const TSettings settings; // the defaults: 3 ms write delay, 200 ms reset delays, no clock delay
    const std::vector<std::uint8_t> erased(Bytes, 0xFF);
    const double mandated = MandatedSeconds(settings, Bytes);
    std::printf("8 KiB code write against its mandated waits (%.2f s, goal <= 1.15), 8 KiB code read (goal <= 5 s)\n"
                "and its round trips per 64 bytes (goal <= 1); the benchmark's wall and processor seconds:\n\n",
                mandated);
    TRun reference;
    for (const double factor : {1.0, 1 / 4.0, 1 / 16.0, 1 / 64.0, 2.0}) {
        TCable writer(factor, settings, erased);
        std::printf("chip at %-4s of the documents' rate: ", FactorName(factor));
        if (!writer.Opened) {
            std::printf("refused: %s\n", writer.Port->OpenError().c_str());
            continue;
        }
        const TFtdiRate rate = writer.Port->Rate();
        const TRun write = writer.Run(opWriteCode, settings);
        TCable reader(factor, settings, write.Chip);
        const TRun read = reader.Run(opReadCode, settings);
        std::printf("%.0f samples/s (libftdi baud %d)\n", rate.Measured, rate.LibFtdiBaud);
        std::printf("  write %.3f (%.2f s; wall %.2f s, cpu %.2f s)   read %.2f s, %.2f round trips per 64 bytes "
                    "(wall %.2f s, cpu %.2f s)\n",
                    write.Seconds / mandated, write.Seconds, write.WallSeconds, write.CpuSeconds, read.Seconds,
                    read.RoundTrips / (Bytes / 64.0), read.WallSeconds, read.CpuSeconds);
        if (factor == 1)
            reference = read;
        if (read.Memory.Buffer != reference.Memory.Buffer)
            std::printf("  the bytes read differ from those at the documents' rate\n");
    }

    std::printf("\nthe serial back end on the same cable, through the kernel's driver:\n");
    const TRun serialWrite = ThroughSerial(opWriteCode, settings, erased);
    const TRun serialRead = ThroughSerial(opReadCode, settings, serialWrite.Chip);
    std::printf("  write %.1f s (%.1f line requests per byte), read %.1f s\n", serialWrite.Seconds,
                serialWrite.RoundTrips / Bytes, serialRead.Seconds);
}
