#include "link/sck_rate.h"

#include <algorithm>
#include <cstdio>

TSckRate TSckRate::WithClockDelay(double clockDelayMs) const
{
    if (!Measured())
        return {};
    // What the requests cost stays; a period can never be shorter than the delay it waits.
    const double requests = std::max(BitMs - ClockDelayMs, 0.0);
    return {requests + clockDelayMs, clockDelayMs};
}

std::string FrequencyText(double hz, char decimalSeparator)
{
    char text[32];
    if (hz >= 1e6)
        std::snprintf(text, sizeof text, "%.3g MHz", hz / 1e6);
    else if (hz >= 1e3)
        std::snprintf(text, sizeof text, "%.3g kHz", hz / 1e3);
    else
        std::snprintf(text, sizeof text, "%.3g Hz", hz);
    std::string result = text;
    std::replace(result.begin(), result.end(), '.', decimalSeparator);
    return result;
}

std::string SckText(const TSckRate &rate, TChipKind kind)
{
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.3g", rate.ClockDelayMs);
    return "SCK measured at " + FrequencyText(rate.Hz()) + " with a Clock Delay of " + delay + " ms: the " + ChipKindName(kind) +
           " needs a crystal of " + FrequencyText(rate.CrystalHz(kind)) + " or more (SCK below 1/" +
           std::to_string(ChipInfo(kind).SckDivisor) + " of it)";
}
