// The program's own settings file and where it lives.
#pragma once
#include "settings/big_ini_file.h"

#include <filesystem>

// The running program's file (the target of /proc/self/exe).
std::filesystem::path ProgramFile();

// The settings file of the program file `program`: beside it with the extension ".ini", or, when
// that folder cannot be written or is an installed program's (a sibling share/doc/korvel exists)
// and holds no such file, $XDG_CONFIG_HOME/korvel/ (by default ~/.config/korvel/), which is created.
// The command-line tool passes the GUI's program file.
std::filesystem::path SettingsFilePathFor(const std::filesystem::path &program);

// The settings file of the running program.
std::filesystem::path SettingsFilePath();

class TAppIniFile : public TBiggerIniFile {
public:
    TAppIniFile();
    // The store of another settings file (a copy of the program elsewhere, or a test's own file).
    explicit TAppIniFile(const std::string &fileName) : TBiggerIniFile(fileName) {}
};
