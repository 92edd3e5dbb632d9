// Prints what an 8 KiB code write costs an AT89S52, its read-back included: on the virtual chip (the
// serial back end's adapter, in real time) as a multiple of the time its datasheet mandates, the
// erase's 500 ms and for each byte its instruction and the 0.5 ms write cycle (the instruction timed
// as the operation's Programming Enable measured its bits); and through the fake FTDI cable at its
// default rate, on the cable's own clock (which the waits made on the host move too), against 12 s.
#include "buffer/memory_buffer.h"
#include "ftdi/ftdi_port.h"
#include "prog/prog_thread.h"
#include "quiet_ui.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_target.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

constexpr int Bytes = 8192;

TFtdiFake *Clocked = nullptr;
void ClockedSleep(int ms)
{
    if (Clocked)
        Clocked->Advance(ms / 1000.0);
}

// No byte is FF, so each one is written.
TMemoryBuffer Firmware()
{
    TMemoryBuffer memory;
    memory.WholeDevice = true;
    for (std::size_t i = 0; i < BufferSize; ++i)
        memory.Buffer[i] = static_cast<std::uint8_t>(i % 255);
    return memory;
}

struct TWrite {
    TProgStatus Status;
    TMemoryBuffer Memory = Firmware();
    bool Holds = false; // the chip holds the firmware, and nothing needed a second write
};

void Write(TWrite &write, TLineInterface &lines, const TSettings &settings, TVirtualChip &chip,
           TDeviceCommands::TSleep sleep, TDeviceCommands::TClockMs clock)
{
    TQuietUi ui;
    TProgContext context{write.Status, write.Memory, settings, lines, ui, nullptr, sleep, std::move(clock)};
    TProgRunner runner(context);
    runner.StartOperation(opWriteCode);
    runner.WaitForEnd();
    const auto &code = chip.Contents().Code;
    write.Holds = std::equal(code.begin(), code.end(), write.Memory.Buffer.begin()) && write.Status.Rewritten == 0 &&
                  !write.Status.VerifyDifferences;
}

} // namespace

int main()
{
    TSettings settings; // the defaults but the reset delays: 3 ms write delay, no clock delay
    settings.Device = 3;
    settings.ResetDelay1 = settings.ResetDelay2 = 1;

    TVirtualTarget target(settings);
    TWrite onChip;
    Write(onChip, target.Lines(), settings, target.Chip(), nullptr, nullptr);
    const double instructionMs = 32 * onChip.Status.Sck.BitMs;
    const double mandated = 0.5 + Bytes * (instructionMs + 0.5) / 1000;
    std::printf("8 KiB write to the virtual AT89S52: %.2f s, %.2f times the %.2f s its datasheet mandates "
                "(instruction %.3f ms; goal <= 1.3)%s\n",
                onChip.Status.ElapsedSeconds.load(), onChip.Status.ElapsedSeconds / mandated, mandated, instructionMs,
                onChip.Holds ? "" : " (WRONG)");

    TVirtualChip chip(TChipKind::AT89S52);
    auto fake = std::make_unique<TFtdiFake>(chip, settings);
    Clocked = fake.get();
    fake->SetHostTime(false);
    TFtdiFake &cable = *fake;
    TFtdiPort port(std::move(fake), "ftdi", settings);
    if (!port.Open({9600, 'N', 8, 1})) {
        std::printf("the fake FTDI cable did not open: %s\n", port.OpenError().c_str());
        return 1;
    }
    const TFtdiStats before = port.Stats();
    const auto start = cable.Now();
    TWrite onCable;
    Write(onCable, port.BitBang(), settings, chip, &ClockedSleep,
          [&port] { return static_cast<double>(port.WaveformMicroseconds()) / 1000.0; });
    const TFtdiStats after = port.Stats();
    const double seconds = std::chrono::duration<double>(cable.Now() - start).count(); // host waits move it too
    std::printf("through the fake FTDI cable at %.0f samples/s: %.2f s on its clock (goal <= 12 s)%s; %.1f s of "
                "samples, %.0f round trips\n",
                port.Rate().Measured, seconds, onCable.Holds ? "" : " (WRONG)",
                after.StreamSeconds - before.StreamSeconds,
                static_cast<double>(after.Transfers + after.ControlRequests - before.Transfers -
                                    before.ControlRequests));
    const double waitsSeconds = 0.5 + Bytes * 0.5 / 1000;
    const double cableInstructionMs = 32 * onCable.Status.Sck.BitMs;
    std::printf("  above 6 s: the erase and the 0.5 ms write cycle of each byte take %.1f s, and each byte's 32-bit "
                "instruction %.3f ms (%.0f samples per bit) another %.1f s; the read-back is the rest\n",
                waitsSeconds, cableInstructionMs, onCable.Status.Sck.BitMs / 1000 * port.Rate().Measured,
                Bytes * cableInstructionMs / 1000);
    Clocked = nullptr;
}
