// The outcome of a file load or save. The GUI ignores Error (file errors are silent there); the
// command-line tool prints it.
#pragma once
#include <string>

struct TFileResult {
    bool Ok = true;
    std::string Error; // names the file and the reason
    bool Overflow = false; // some byte lay beyond the code memory and was dropped
};
