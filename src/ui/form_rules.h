// The decisions of the main window and the lock-bit dialog, as plain functions: the windows call them
// and only move their results into widgets.
#pragma once
#include "prog/prog_status.h"

#include <cstdint>
#include <optional>
#include <string>

// Which commands the state timer enables.
struct TMenuState {
    bool Parameter = true;
    bool Buffer = true;
    bool Device = true;
    bool Redo = true;
    bool DataCommands = true; // "Read Data Memory to Buffer" and "Write Buffer to Data Memory"
    bool VerifyData = true;   // "Verify Data Memory": not on a chip whose instructions reach no data
};
TMenuState MenuStateFor(bool busy, bool secure, int device, bool editWindowOpen);

enum class TLoader { IntelHex, Binary };

// What the Redo button does; nothing (but focusing the terminal) without a file name.
struct TRedoPlan {
    TLoader Loader = TLoader::IntelHex;
    TOperationCode Operation = opWriteCode;
};
std::optional<TRedoPlan> RedoPlanFor(const std::string &lastFilename, const std::string &lastFiletyp, bool fastRedo);

// The reader for a file dropped on the window: Intel-HEX for the usual Intel-HEX extensions in any
// letter case, and for a file whose first line is an Intel-HEX record; binary for every other file.
TLoader LoaderForFile(const std::string &name);

// 0xE7 with bit 7, 6 or 5 cleared for each lock bit chosen.
std::uint8_t LockBitsByteOf(bool lockBit1, bool lockBit2, bool lockBit3);

// The elapsed-time label: one decimal, the given decimal separator, " s" behind.
std::string ElapsedText(double seconds, char decimalSeparator);

// How a batch run's write ended, in korvel-cli's exit codes: a port lost during it is no success,
// nor a write that read back differences.
int BatchExitCode(const TProgStatus &status);
