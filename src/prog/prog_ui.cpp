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

std::string RewrittenText(int bytes)
{
    const std::string count = bytes == 1 ? "1 byte" : std::to_string(bytes) + " bytes";
    return count + " read back wrong after the write cycle of the chip's datasheet and " +
           (bytes == 1 ? "was" : "were") +
           " written once more, with the Delay after Byte Write: the chip writes slower than its datasheet says";
}

namespace {

// A write that read back what it wrote says what it found; any other write ends silently.
TFinishMessage WriteMessage(const TProgStatus &status)
{
    if (status.VerifyDifferences)
        return {true, "Found differences during Verify !", "Note", true};
    if (status.Rewritten > 0)
        return {true, RewrittenText(status.Rewritten), "Note", false};
    return {};
}

} // namespace

TFinishMessage FinishMessage(const TProgStatus &status)
{
    const auto code = status.OperationCode.load();
    if (code == opChipReset || code == opIdle)
        return {};
    if (status.PortLost)
        return {true, "The port stopped answering during the operation !", "Error", false};
    if (!status.DeviceFound)
        return {true, PresenceText(status.Detection), "Error", false};
    if (code == opWriteCode || code == opWriteCodeFast)
        return WriteMessage(status);
    if (code != opVerifyCode && code != opVerifyData)
        return {};
    if (status.VerifyDifferences)
        return {true, "Found differences during Verify !", "Note", true};
    return {true, "Verify ok !", "Gratulation", false};
}
