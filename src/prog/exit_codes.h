// The exit statuses of both programs, so that an IDE or a script reads korvel and korvel-cli alike.
#pragma once

enum TExitCode {
    ExitOk = 0,
    ExitNoDevice = 1,
    ExitDifferences = 2,
    ExitUsage = 3, // a usage or file error
    ExitPort = 4,
    // korvel: another instance runs, or the window was closed before the write ended; korvel-cli: a
    // signal stopped the run
    ExitNotRun = 5,
    // korvel-cli: a read or verify found the chip in a lock mode that hides its memory
    ExitLocked = 6,
};
