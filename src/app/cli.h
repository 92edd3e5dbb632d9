// korvel-cli: one chip operation from a shell or an IDE, on the same core as the GUI.
#pragma once
#include "prog/exit_codes.h"

#include <iosfwd>
#include <string>
#include <vector>

int RunCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);
