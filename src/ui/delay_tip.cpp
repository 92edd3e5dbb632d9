#include "ui/delay_tip.h"

#include "buffer/chip_kind.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Ms(double ms, char decimalSeparator)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g ms", ms);
    std::string result = text;
    std::replace(result.begin(), result.end(), '.', decimalSeparator);
    return result;
}

// "AT89S8252 or AT89S53": the chips that wait as `wait` says.
std::string ChipsWaiting(TWriteWait wait)
{
    std::string names;
    for (const TChipInfo &chip : ChipTable)
        if (chip.WriteWait == wait)
            names += (names.empty() ? "" : " or ") + std::string(chip.Name);
    return names;
}

int WriteCycleUs()
{
    for (const TChipInfo &chip : ChipTable)
        if (chip.WriteWait == TWriteWait::WriteCycle)
            return chip.WriteCycleUs;
    return 0;
}

} // namespace

std::string ClockDelayTip(const TSckRate &measured, double clockDelayMs, int device, char decimalSeparator)
{
    const char sep = decimalSeparator;
    const TChipKind kind = ChipKindForDevice(device);
    const std::string divisor = std::to_string(ChipInfo(kind).SckDivisor);
    const std::string lead = "Each SCK period lasts what the port's line requests take plus this delay. ";
    if (!measured.Measured())
        return lead + "The SCK it gives on this port is measured at every operation on the chip; the " +
               ChipKindName(kind) + " needs a crystal of at least " + divisor + " times SCK.";
    const TSckRate rate = measured.WithClockDelay(clockDelayMs);
    return lead + "With " + Ms(clockDelayMs, sep) + ", SCK runs at about " + FrequencyText(rate.Hz(), sep) +
           " on this port (measured at the last operation, with " + Ms(measured.ClockDelayMs, sep) + "): the " +
           ChipKindName(kind) + " needs a crystal of " + FrequencyText(rate.CrystalHz(kind), sep) +
           " or more, as SCK must stay below 1/" + divisor + " of it.";
}

std::string WriteDelayTip(char decimalSeparator)
{
    return "The wait after each byte written to an " + ChipsWaiting(TWriteWait::Setting) +
           ", whose datasheets give only a typical write time. An " + ChipsWaiting(TWriteWait::WriteCycle) +
           " waits the write cycle of its datasheet (" + Ms(WriteCycleUs() / 1000.0, decimalSeparator) +
           ") instead, reads back what it wrote, and writes a byte found wrong once more with this delay.";
}
