// Prints what an 8 KiB code write and read cost on a USB cable with an FTDI chip: through the ftdi
// port (on the fake cable, default settings) as USB transfers, bytes and a modelled wall time of
// 1 ms per round trip plus the stream at its sample rate, against the serial back end on the same
// cable through the kernel's driver, where each line request (72 per byte written) is a round trip.
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

namespace {

constexpr double UsbLatency = 0.001; // seconds per round trip, as full-speed USB gives
constexpr int Bytes = 8192;

double SleptMs = 0;
void CountSleep(int ms) { SleptMs += ms; }

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
    double Modelled = 0;
    TFtdiStats Ftdi;
    std::uint64_t Requests = 0;
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

TRun ThroughFtdi(TOperationCode code, const TSettings &settings, const std::vector<std::uint8_t> &contents)
{
    TRun run{0, {}, 0, Pattern(), {}};
    TVirtualChip chip(TChipKind::AT89S8252);
    chip.SetContents(CodeImage(contents));
    TFtdiPort port(std::make_unique<TFtdiFake>(chip, settings), "ftdi", settings);
    port.Open({9600, 'N', 8, 1});
    SleptMs = 0;
    Execute(code, port.BitBang(), settings, run.Memory);
    run.Ftdi = port.Stats();
    run.Modelled = run.Ftdi.ModelledSeconds(UsbLatency) + SleptMs / 1000.0;
    run.Chip = chip.Contents().Code;
    return run;
}

TRun ThroughSerial(TOperationCode code, const TSettings &settings, const std::vector<std::uint8_t> &contents)
{
    TRun run{0, {}, 0, Pattern(), {}};
    TVirtualChip chip(TChipKind::AT89S8252);
    chip.SetContents(CodeImage(contents));
    TUsbSerialModel lines(chip, settings);
    SleptMs = 0;
    Execute(code, lines, settings, run.Memory);
    run.Requests = lines.Requests;
    run.Modelled = lines.Seconds + SleptMs / 1000.0;
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

void PrintFtdi(const TRun &run)
{
    const TFtdiStats &f = run.Ftdi;
    std::printf("  ftdi port:   %6llu bulk transfers + %3llu control requests, %7.1f KiB out, %7.1f KiB in,"
                " modelled %7.2f s\n",
                static_cast<unsigned long long>(f.Transfers), static_cast<unsigned long long>(f.ControlRequests),
                static_cast<double>(f.BytesOut) / 1024, static_cast<double>(f.BytesIn) / 1024, run.Modelled);
}

void PrintSerial(const TRun &run, const TRun &ftdi)
{
    std::printf("  serial port: %8llu line requests (%.1f per byte), modelled %8.1f s: %.0f times the ftdi port\n",
                static_cast<unsigned long long>(run.Requests), static_cast<double>(run.Requests) / Bytes,
                run.Modelled, run.Modelled / ftdi.Modelled);
}

} // namespace

int main()
{
    const TSettings settings; // the defaults: 3 ms write delay, 200 ms reset delays, no clock delay
    const TBitBangRate rate = BitBangRateFor(settings.ClockDelay);
    std::printf("USB cable model: %.0f ms per round trip; bit-bang at %d samples/s (libftdi baud %d)\n\n",
                UsbLatency * 1000, rate.SampleRate, rate.LibFtdiBaud);

    const std::vector<std::uint8_t> erased(Bytes, 0xFF);
    std::printf("8 KiB code write:\n");
    const TRun ftdiWrite = ThroughFtdi(opWriteCode, settings, erased);
    const TRun serialWrite = ThroughSerial(opWriteCode, settings, erased);
    PrintFtdi(ftdiWrite);
    PrintSerial(serialWrite, ftdiWrite);
    const double mandated = MandatedSeconds(settings, Bytes);
    std::printf("  ftdi port against its mandated waits (%.2f s): %.3f (goal <= 1.15)\n", mandated,
                ftdiWrite.Modelled / mandated);
    std::printf("  same bytes on the chip as the serial back end: %s\n\n",
                ftdiWrite.Chip == serialWrite.Chip ? "yes" : "NO");

    std::printf("8 KiB code read:\n");
    const TRun ftdiRead = ThroughFtdi(opReadCode, settings, ftdiWrite.Chip);
    const TRun serialRead = ThroughSerial(opReadCode, settings, ftdiWrite.Chip);
    PrintFtdi(ftdiRead);
    PrintSerial(serialRead, ftdiRead);
    const double roundTrips = static_cast<double>(ftdiRead.Ftdi.Transfers + ftdiRead.Ftdi.ControlRequests);
    std::printf("  ftdi port: %.2f s (goal <= 5 s), %.2f round trips per 64 bytes read (goal <= 1)\n",
                ftdiRead.Modelled, roundTrips / (Bytes / 64.0));
    std::printf("  same bytes read as the serial back end: %s\n",
                ftdiRead.Memory.Buffer == serialRead.Memory.Buffer ? "yes" : "NO");
}
