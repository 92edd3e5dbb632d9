// The outcome of a file load or save. The GUI ignores Error (file errors are silent there); the
// command-line tool prints it.
#pragma once
#include "buffer/memory_buffer.h"

#include <string>

struct TFileResult {
    bool Ok = true;
    std::string Error; // names the file and the reason
    bool Overflow = false; // some byte lay beyond the code memory and was dropped
    int BeyondMemory = 0;  // how many such bytes
    // What a lenient Intel-HEX load met besides its records (damaged lines, no end record, no byte
    // within the memory), naming the file; what could be read is loaded all the same. A person may
    // take such a file after seeing this; an unattended write must not.
    std::string Warning;
    // How a load read its file where that is unusual (a byte-order mark, CR line ends, indented
    // records), naming the file; empty for a plain file.
    std::string Note;
};
