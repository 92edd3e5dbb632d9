// What the terminal window's tests share: a pseudo-terminal pair (pty_pair.h) and the console's
// text as rows.
#pragma once
#include "pty_pair.h"
#include "terminal/console.h"

#include <string>

// The console's rows up to the cursor, trailing blanks cut, one per line.
inline std::string ConsoleText(const TConsole &console)
{
    std::string text;
    for (int row = 0; row <= console.Cells().CursorRow(); ++row) {
        std::string cells(console.Cells().Row(row));
        text += cells.substr(0, cells.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}
