// korvel-cli: one chip operation from a shell or an IDE, on the same core as the GUI.
#pragma once
#include <iosfwd>
#include <string>
#include <vector>

enum TCliExit {
    ExitOk = 0,
    ExitNoDevice = 1,
    ExitDifferences = 2,
    ExitUsage = 3,
    ExitPort = 4,
};

int RunCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);
