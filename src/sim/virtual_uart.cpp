#include "sim/virtual_uart.h"

#include "settings/settings.h"
#include "sim/child_process.h"
#include "sim/uart_timing.h"
#include "sim/virtual_chip.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

bool Erased(const TSimImage &image)
{
    return std::all_of(image.Code.begin(), image.Code.end(), [](std::uint8_t b) { return b == 0xFF; });
}

} // namespace

std::string BaudMismatchText(double programBaud, int terminalBaud)
{
    return "The program in the virtual chip sends at " + std::to_string(std::lround(programBaud)) +
           " baud, the terminal reads at " + std::to_string(terminalBaud) +
           " baud: on a real line every character would arrive garbled.";
}

TVirtualUart::TVirtualUart(TVirtualChip &chip, const TSettings &settings) : Chip(chip), Settings(settings)
{
    Chip.SetResetObserver([this](bool held) { ResetChanged(held); });
}

TVirtualUart::~TVirtualUart()
{
    Chip.SetResetObserver(nullptr);
    const std::lock_guard lock(Lock);
    Open = false;
    Update();
}

void TVirtualUart::PortOpened(bool open)
{
    const std::lock_guard lock(Lock);
    Open = open;
    Update();
}

void TVirtualUart::ResetChanged(bool)
{
    const std::lock_guard lock(Lock);
    Update();
}

// A released RESET that stays released keeps the run going; every new release starts a new one.
void TVirtualUart::Update()
{
    const bool run = Open && !Chip.ResetHeld() && !Chip.Absent();
    if (run && !Running)
        StartRun();
    else if (!run && Running)
        StopRun();
}

void TVirtualUart::StartRun()
{
    Running = true;
    const TSimImage &image = Chip.Contents();
    if (Erased(image)) {
        Missing = TChildProcess::FindOnPath("s51").empty();
        return;
    }
    Missing = false;
    StartData = image.Data;
    Simulating = S51.Start(image, Settings.SimCrystal * 1e6);
}

void TVirtualUart::StopRun()
{
    Running = false;
    if (!std::exchange(Simulating, false))
        return;
    S51.Stop();
    const std::vector<std::uint8_t> &data = S51.DataMemory();
    if (data.size() != StartData.size() || data == StartData)
        return;
    // Only the bytes the program wrote: whatever loaded the chip meanwhile keeps the rest.
    TSimImage image = Chip.Contents();
    for (std::size_t i = 0; i < data.size() && i < image.Data.size(); ++i)
        if (data[i] != StartData[i])
            image.Data[i] = data[i];
    Chip.SetContents(image);
}

std::string TVirtualUart::Failure() const
{
    return Missing ? std::string(S51MissingText) : S51.Problem();
}

std::string TVirtualUart::Problem() const
{
    if (std::string failure = Failure(); !failure.empty())
        return failure;
    const std::optional<double> programBaud = S51.ProgramBaud();
    if (programBaud && !BaudsAgree(*programBaud, Baud))
        return BaudMismatchText(*programBaud, Baud);
    return {};
}
