// The one rule for loading a file that goes into the chip with nobody looking at it first: korvel-cli
// and the GUI's batch mode both load through it. It picks the format (by the name's extension, else
// by the file's first line), and refuses a file the chip would not hold as it is: one that cannot be
// read or holds nothing, a damaged Intel-HEX file, or bytes beyond the memory. Told to be lenient, it
// takes what can be read instead (skipping damaged lines whole) and says what it left out.
#pragma once
#include "buffer/memory_buffer.h"

#include <string>
#include <vector>

enum class TLoadTarget { CodeMemory, DataMemory };

struct TUnattendedLoad {
    enum class TRefusal {
        None,
        FileError, // cannot be read, no Intel-HEX data, nothing to write: being lenient does not help
        Damaged,   // damaged records, or bytes beyond the memory: a lenient load takes what can be read
    };
    TRefusal Refusal = TRefusal::None;
    std::string Reason;                // why it was refused, naming the file
    std::vector<std::string> Notes;    // how it was read, where that is worth saying
    std::vector<std::string> Warnings; // what a lenient load passed over

    bool Ok() const { return Refusal == TRefusal::None; }
};

// Loads into `memory` only when the load is not refused; a refused load leaves it as it was.
// HighestAddress, FileBytes (the bytes the file gives, a damaged line's not among them) and WholeDevice
// (cleared) are set as for any write of a loaded file.
TUnattendedLoad LoadForUnattendedWrite(TMemoryBuffer &memory, int device, const std::string &name,
                                       TLoadTarget target, bool lenient);
