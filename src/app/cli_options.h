// The command line of korvel-cli: korvel-cli [options] COMMAND [FILE]
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TCliCommand {
    Detect,
    ReadCode,
    ReadData,
    WriteCode,
    WriteCodeFast,
    WriteData,
    VerifyCode,
    VerifyData,
    Erase,
    Reset,
    Lock,
    Lines,
    ListFtdi,
    Terminal,
};

struct TCliOptions {
    TCliCommand Command = TCliCommand::Detect;
    std::string File;
    std::uint8_t LockBitsByte = 0xE7;
    // N, a device path, sim[:IMAGE], ftdi[:STRING][@A..D], sim-ftdi[:IMAGE], sim-pl2303[:IMAGE]
    std::optional<std::string> Port;
    std::optional<int> Device;       // the Device setting: 0 AT89S8252, 1 AT89S53, 2 AT89S51, 3 AT89S52
    std::optional<std::string> Preset;
    std::optional<std::string> SettingsFile;
    std::string Trace;
    std::optional<double> WriteDelay;
    std::optional<double> ClockDelay;
    std::optional<double> Settle; // ms before each input read, instead of the driver's own
    std::optional<double> Crystal; // MHz, the virtual chip's
    std::optional<double> Seconds; // how long terminal runs; until a signal without it
    bool Whole = false;
    bool Quiet = false;
    bool Verify = true; // the write commands verify what they wrote
    bool Lenient = false; // an Intel-HEX file with damaged lines or without its end record is used
};

struct TCliParse {
    bool Help = false;
    bool Version = false;
    std::string Error; // empty when the command line is valid
    TCliOptions Options;
};

TCliParse ParseCliOptions(const std::vector<std::string> &args);
std::string CliUsage();
std::string CliVersion();
