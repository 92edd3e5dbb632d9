#include "ui/form_rules.h"

#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "prog/exit_codes.h"

#include <array>
#include <cstdio>

TMenuState MenuStateFor(bool busy, bool secure, int device, bool editWindowOpen)
{
    TMenuState state;
    state.Parameter = !busy && !secure;
    state.Buffer = !busy;
    state.Device = !busy && !editWindowOpen;
    state.Redo = !busy;
    state.DataCommands = HasDataMemory(device);
    state.VerifyData = DataRangeSize(device) > 0;
    return state;
}

std::optional<TRedoPlan> RedoPlanFor(const std::string &lastFilename, const std::string &lastFiletyp, bool fastRedo)
{
    if (lastFilename.empty())
        return std::nullopt;
    return TRedoPlan{lastFiletyp == "B" ? TLoader::Binary : TLoader::IntelHex,
                     fastRedo ? opWriteCodeFast : opWriteCode};
}

TLoader LoaderForFile(const std::string &name)
{
    return IsHexFileName(name) || StartsWithHexRecord(name) ? TLoader::IntelHex : TLoader::Binary;
}

std::uint8_t LockBitsByteOf(bool lockBit1, bool lockBit2, bool lockBit3)
{
    std::uint8_t byte = 0xE7;
    if (lockBit1)
        byte &= 0x7F;
    if (lockBit2)
        byte &= 0xBF;
    if (lockBit3)
        byte &= 0xDF;
    return byte;
}

std::string ElapsedText(double seconds, char decimalSeparator)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    for (char &c : text)
        if (c == '.')
            c = decimalSeparator;
    return text;
}

int BatchExitCode(const TProgStatus &status)
{
    if (status.PortLost)
        return ExitPort;
    if (!status.DeviceFound)
        return ExitNoDevice;
    return status.VerifyDifferences ? ExitDifferences : ExitOk;
}
