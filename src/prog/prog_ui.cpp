#include "prog/prog_ui.h"

#include "prog/prog_status.h"

#include <cstdio>

std::string DifferenceLine(int address, std::uint8_t buffer, std::uint8_t device)
{
    char line[64];
    std::snprintf(line, sizeof line, "Byte $%04X Buffer: $%02X Device: $%02X", static_cast<unsigned>(address),
                  buffer, device);
    return line;
}

TFinishMessage FinishMessage(const TProgStatus &status)
{
    const auto code = status.OperationCode.load();
    if (code == opChipReset || code == opIdle)
        return {};
    if (status.PortLost)
        return {true, "The port stopped answering during the operation !", "Error", false};
    if (!status.DeviceFound)
        return {true, PresenceText(status.Detection), "Error", false};
    if (code != opVerifyCode && code != opVerifyData)
        return {};
    if (status.VerifyDifferences)
        return {true, "Found differences during Verify !", "Note", true};
    return {true, "Verify ok !", "Gratulation", false};
}
