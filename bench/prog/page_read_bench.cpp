// Prints what an 8 KiB read costs an AT89S52 by page reads against an AT89S8252 by byte reads: line
// requests per byte on the serial back end (the virtual adapter), and round trips on a USB cable with
// an FTDI chip (the fake cable, default settings).
#include "buffer/memory_buffer.h"
#include "ftdi/ftdi_port.h"
#include "prog/prog_thread.h"
#include "quiet_ui.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_target.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace {

constexpr double Bytes = 8192;

void NoSleep(int) {}

struct TCost {
    double RequestsPerByte = 0;
    double ChangesPerByte = 0; // the requests that change an output line
    double RoundTrips = 0;
    bool Read = false; // the buffer holds what the chip holds
};

// The chip holds a pattern whose every byte differs from its neighbours, so a wrong read shows.
void Prepare(TVirtualChip &chip)
{
    chip.SetWriteCycle(std::chrono::microseconds(0));
    TSimImage image = TSimImage::Erased(chip.Kind());
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
    chip.SetContents(image);
}

bool ReadRight(const TVirtualChip &chip, const TMemoryBuffer &memory)
{
    const auto &code = chip.Contents().Code;
    return std::equal(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(Bytes), memory.Buffer.begin());
}

void ReadCode(TLineInterface &lines, const TSettings &settings, TMemoryBuffer &memory)
{
    TProgStatus status;
    TQuietUi ui;
    TProgContext context{status, memory, settings, lines, ui, nullptr, &NoSleep};
    TProgRunner runner(context);
    runner.StartOperation(opReadCode);
    runner.WaitForEnd();
}

TCost Measure(int device)
{
    TSettings settings;
    settings.Device = device;
    settings.ResetDelay1 = settings.ResetDelay2 = 1;
    TCost cost;
    {
        TVirtualTarget target(settings);
        Prepare(target.Chip());
        TMemoryBuffer memory;
        ReadCode(target.Lines(), settings, memory);
        const TSimCounters &counters = target.Chip().Counters();
        cost.RequestsPerByte = static_cast<double>(counters.LineRequests) / Bytes;
        cost.ChangesPerByte = static_cast<double>(counters.LineRequests - counters.InputReads) / Bytes;
        cost.Read = ReadRight(target.Chip(), memory);
    }
    TVirtualChip chip(ChipKindForDevice(device));
    Prepare(chip);
    TFtdiPort port(std::make_unique<TFtdiFake>(chip, settings), "ftdi", settings);
    port.Open({9600, 'N', 8, 1});
    // The open measures the cable's sample rate once, whatever is read after.
    const auto roundTrips = [&port] { return static_cast<double>(port.Stats().Transfers + port.Stats().ControlRequests); };
    const double atOpen = roundTrips();
    TMemoryBuffer memory;
    ReadCode(port.BitBang(), settings, memory);
    cost.RoundTrips = roundTrips() - atOpen;
    cost.Read = cost.Read && ReadRight(chip, memory);
    return cost;
}

} // namespace

int main()
{
    const TCost bytes = Measure(0);
    const TCost pages = Measure(3);
    std::printf("8 KiB code read, the whole operation after the port is open:\n");
    for (const auto &[name, cost] : {std::pair{"AT89S8252 by byte reads:", bytes}, std::pair{"AT89S52 by page reads:  ", pages}})
        std::printf("  %s %6.1f line requests per byte (%5.1f output changes), %4.0f round trips on an FTDI cable%s\n",
                    name, cost.RequestsPerByte, cost.ChangesPerByte, cost.RoundTrips, cost.Read ? "" : " (READ WRONG)");
    // A received bit costs two clock edges and one sample, so 24 requests per byte is the floor; the
    // output changes alone go down to a quarter.
    std::printf("  line requests: %.2f of the byte reads' (floor 24/73 = 0.33), output changes: %.2f (goal <= 0.3); "
                "round trips: %.2f (goal <= 0.5)\n",
                pages.RequestsPerByte / bytes.RequestsPerByte, pages.ChangesPerByte / bytes.ChangesPerByte,
                pages.RoundTrips / bytes.RoundTrips);
}
