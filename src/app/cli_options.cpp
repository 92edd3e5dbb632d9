#include "app/cli_options.h"

#include "buffer/chip_kind.h"
#include "link/adapter_presets.h"
#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace {

struct TCommandInfo {
    TCliCommand Command;
    bool NeedsFile;
};

const std::map<std::string, TCommandInfo> Commands = {
    {"detect", {TCliCommand::Detect, false}},
    {"read-code", {TCliCommand::ReadCode, true}},
    {"read-data", {TCliCommand::ReadData, true}},
    {"write-code", {TCliCommand::WriteCode, true}},
    {"write-code-fast", {TCliCommand::WriteCodeFast, true}},
    {"write-data", {TCliCommand::WriteData, true}},
    {"verify-code", {TCliCommand::VerifyCode, true}},
    {"verify-data", {TCliCommand::VerifyData, true}},
    {"erase", {TCliCommand::Erase, false}},
    {"reset", {TCliCommand::Reset, false}},
    {"lock", {TCliCommand::Lock, false}},
    {"lines", {TCliCommand::Lines, false}},
    {"list-ftdi", {TCliCommand::ListFtdi, false}},
    {"terminal", {TCliCommand::Terminal, false}},
};

// The longest --seconds: a day.
constexpr double MaxSeconds = 86400;

std::optional<double> ParseNumber(const std::string &text, double min, double max)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<double> ParseMs(const std::string &text) { return ParseNumber(text, 0, 60000); }

// Lock bit n (1..3) clears bit 8 - n of the lock byte.
bool ApplyLockArguments(const std::vector<std::string> &rest, TCliOptions &options, std::string &error)
{
    for (const std::string &bit : rest) {
        if (bit != "1" && bit != "2" && bit != "3") {
            error = "lock takes the lock bits 1, 2 and 3, not \"" + bit + "\"";
            return false;
        }
        options.LockBitsByte &= static_cast<std::uint8_t>(~(1u << (8 - (bit[0] - '0'))));
    }
    return true;
}

bool ApplyCommand(const std::vector<std::string> &words, TCliOptions &options, std::string &error)
{
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    const auto found = Commands.find(words[0]);
    if (found == Commands.end()) {
        error = "unknown command \"" + words[0] + "\"";
        return false;
    }
    options.Command = found->second.Command;
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (options.Command == TCliCommand::Lock)
        return ApplyLockArguments(rest, options, error);
    const std::size_t wanted = found->second.NeedsFile ? 1 : 0;
    if (rest.size() != wanted) {
        error = words[0] + (wanted ? " takes one FILE" : " takes no FILE");
        return false;
    }
    if (wanted)
        options.File = rest[0];
    return true;
}

bool ApplyOption(const std::string &name, const std::string &value, TCliOptions &options, std::string &error)
{
    if (name == "--port") {
        // A number names COM1..COM255 (/dev/ttyS0..); 0 would open /dev/ttyS-1.
        const bool number = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
        if (number && (value.size() > 3 || std::stoi(value) < 1 || std::stoi(value) > 255)) {
            error = "--port takes a port number from 1 to 255, a device or sim";
            return false;
        }
        options.Port = value;
    } else if (name == "--device") {
        const auto chip = std::find_if(ChipTable.begin(), ChipTable.end(),
                                       [&value](const TChipInfo &info) { return value == info.CliName; });
        if (chip == ChipTable.end()) {
            error = "--device takes 8252, 53, 51 or 52";
            return false;
        }
        options.Device = static_cast<int>(chip->Kind);
    } else if (name == "--preset") {
        if (!FindAdapterPreset(value)) {
            error = "unknown preset \"" + value + "\" (QR2MW, QZ3NT, Atmel, KV31, PonyProg)";
            return false;
        }
        options.Preset = value;
    } else if (name == "--settings") {
        options.SettingsFile = value;
    } else if (name == "--trace") {
        options.Trace = value;
    } else if (name == "--write-delay" || name == "--clock-delay" || name == "--settle") {
        const auto ms = ParseMs(value);
        if (!ms) {
            error = name + " takes milliseconds from 0 to 60000, not \"" + value + "\"";
            return false;
        }
        (name == "--write-delay" ? options.WriteDelay : name == "--clock-delay" ? options.ClockDelay : options.Settle) = ms;
    } else if (name == "--crystal") {
        options.Crystal = ParseNumber(value, MinSimCrystal, MaxSimCrystal);
        if (!options.Crystal) {
            error = "--crystal takes MHz from 0.1 to 33, not \"" + value + "\"";
            return false;
        }
    } else if (name == "--seconds") {
        options.Seconds = ParseNumber(value, 0, MaxSeconds);
        if (!options.Seconds) {
            error = "--seconds takes seconds from 0 to 86400, not \"" + value + "\"";
            return false;
        }
    } else {
        error = "unknown option " + name;
        return false;
    }
    return true;
}

bool IsValueOption(const std::string &name)
{
    static const char *const names[] = {"--port", "--device", "--preset", "--settings",
                                        "--trace", "--write-delay", "--clock-delay", "--settle",
                                        "--crystal", "--seconds"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

} // namespace

TCliParse ParseCliOptions(const std::vector<std::string> &args)
{
    TCliParse parse;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size() && parse.Error.empty(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            parse.Help = true;
            return parse;
        }
        if (arg == "--version") {
            parse.Version = true;
            return parse;
        }
        if (arg == "--whole" || arg == "--quiet") {
            (arg == "--whole" ? parse.Options.Whole : parse.Options.Quiet) = true;
            continue;
        }
        if (arg == "--no-verify") {
            parse.Options.Verify = false;
            continue;
        }
        if (arg == "--lenient") {
            parse.Options.Lenient = true;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
            parse.Error = "unknown option " + arg;
            break;
        }
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            words.push_back(arg);
            continue;
        }
        std::string value;
        const auto eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (IsValueOption(arg) && i + 1 < args.size()) {
            value = args[++i];
        } else if (IsValueOption(arg)) {
            parse.Error = arg + " needs a value";
            break;
        }
        ApplyOption(arg, value, parse.Options, parse.Error);
    }
    if (parse.Error.empty())
        ApplyCommand(words, parse.Options, parse.Error);
    return parse;
}

std::string CliUsage()
{
    return "Usage: korvel-cli [options] COMMAND [FILE]\n"
           "\n"
           "Commands:\n"
           "  detect                 test whether a chip answers (an AT89S51 or AT89S52 also\n"
           "                         shows its signature and lock mode, and is found locked too)\n"
           "  read-code FILE         read code memory into FILE\n"
           "  read-data FILE         read data memory (EEPROM, AT89S8252 only) into FILE\n"
           "  write-code FILE        write FILE to code memory (an AT89S51 or AT89S52 is erased\n"
           "                         first, whatever its lock mode, and gets only FILE's bytes)\n"
           "  write-code-fast FILE   read the chip over FILE's extent, then write only the bytes\n"
           "                         that differ (on an AT89S51 or AT89S52: as write-code)\n"
           "  write-data FILE        write FILE to data memory (AT89S8252 only)\n"
           "  verify-code FILE       compare code memory with FILE\n"
           "  verify-data FILE       compare data memory with FILE\n"
           "  erase                  erase code and data memory\n"
           "  reset                  give the chip one reset pulse\n"
           "  lock [1] [2] [3]       write the lock bits named (an AT89S51 or AT89S52 takes the\n"
           "                         lower ones first and says the lock mode it is in)\n"
           "  lines                  show the four inputs while each output toggles in turn,\n"
           "                         measure the SCK the clock delay gives and how late the port\n"
           "                         shows an input change\n"
           "  list-ftdi              list the FTDI USB devices present and the --port string of each\n"
           "  terminal               hold RESET, put the port in its data mode, release RESET and\n"
           "                         connect standard input and output to the target's serial\n"
           "                         line at the settings' baud rate until a signal (or --seconds)\n"
           "\n"
           "Options:\n"
           "  --port N|DEVICE|sim[:IMAGE]   serial port number, device path, or the virtual chip\n"
           "                                (sim-empty: the virtual adapter without a chip;\n"
           "                                sim-pl2303[:IMAGE]: behind a simulated PL2303 cable)\n"
           "  --port ftdi[:STRING][@A..D]   a USB cable's FTDI chip in bit-bang mode: the first one,\n"
           "                                or libftdi's d:BUS/DEV, i:VENDOR:PRODUCT[:INDEX],\n"
           "                                s:VENDOR:PRODUCT:SERIAL (sim-ftdi[:IMAGE]: the virtual\n"
           "                                chip behind a simulated FTDI cable); ftdi-ttl...: the\n"
           "                                same for a TTL-level cable (no RS232 transceiver)\n"
           "  --device 8252|53|51|52        AT89S8252, AT89S53, AT89S51 or AT89S52\n"
           "  --preset NAME                 adapter wiring: QR2MW, QZ3NT, Atmel, KV31, PonyProg\n"
           "  --settings FILE               settings file (default: the one korvel uses)\n"
           "  --trace FILE.vcd              record the lines into a VCD file\n"
           "  --write-delay MS              wait after each byte written (AT89S51/52: only after a\n"
           "                                byte written a second time; they wait their write cycle)\n"
           "  --clock-delay MS              serial clock period\n"
           "  --settle MS                   wait before each input read after an output change\n"
           "                                (default: what the port's driver needs)\n"
           "  --crystal MHZ                 the virtual chip's crystal (default: SimCrystal in\n"
           "                                [SerialPort], else 11.0592), which its program runs at\n"
           "  --seconds N                   terminal ends after N seconds (exit 0)\n"
           "  --whole                       whole memory instead of the file's bytes (00 where the\n"
           "                                file holds none)\n"
           "  --quiet                       no progress, no result line on success\n"
           "  --no-verify                   do not verify after writing\n"
           "  --lenient                     take a damaged Intel-HEX file, or one larger than the\n"
           "                                memory: its sound lines, as far as they fit\n"
           "  -h, --help                    print this help and exit\n"
           "  --version                     print the version and exit\n"
           "\n"
           "The write commands verify what they wrote and end like verify-code when the chip\n"
           "disagrees; an AT89S51 or AT89S52 reads back all it wrote and writes a byte found\n"
           "wrong once more, with the write delay, before it counts as a difference. On those\n"
           "chips the bytes FILE does not hold stay erased ($FF) and are not compared.\n"
           "Intel-HEX files are known by their usual names (.hex, .ihx, .ihex, .h86, .mcs, ...)\n"
           "and by a first line that is a record; anything else is binary. A FILE that is empty,\n"
           "damaged (a wrong checksum, a line that is no record, a record after the end or of an\n"
           "unknown type, no end-of-file record) or larger than the memory (data memory: 2048\n"
           "bytes) is refused (exit 3, the chip is left as it is) unless --lenient is given.\n"
           "The first Ctrl-C (SIGINT, SIGTERM, SIGHUP) stops between two instructions, puts the\n"
           "lines at rest and says how far the run got; a second one ends at once.\n"
           "On the virtual chip (sim, sim-ftdi, sim-pl2303) the program in code memory runs in\n"
           "the s51 simulator (Debian package sdcc-ucsim) while RESET is released: terminal\n"
           "shows its serial port. The end of standard input does not end terminal.\n"
           "Exit codes: 0 success, 1 no device found, 2 verify found differences,\n"
           "            3 usage, settings or file error, 4 the port cannot be opened or serve (or\n"
           "            the virtual chip's image is in use), 5 stopped by a signal,\n"
           "            6 a read or verify found the chip locked (lock mode 3 or 4).\n";
}

std::string CliVersion() { return "korvel-cli " KORVEL_VERSION "\n"; }
