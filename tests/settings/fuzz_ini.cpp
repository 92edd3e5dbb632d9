// Feeds arbitrary bytes as a settings file: every read, a write and GetStrings must cope, and the
// written file must read back as the same text.
#include "settings/big_ini_file.h"
#include "settings/settings.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// In memory when possible: every run writes the file and syncs it.
std::string ScratchFile()
{
    const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return folder + "/korvel-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> Strings(const TBigIniFile &ini)
{
    std::vector<std::string> lines;
    ini.GetStrings(lines);
    return lines;
}

// Reads every key of every section through every typed read.
void ReadEverything(const TBigIniFile &ini)
{
    std::vector<std::string> lines;
    ini.GetStrings(lines);
    for (const std::string &line : lines) {
        if (line.size() < 2 || line.front() != '[')
            continue;
        const std::string section = line.substr(1, line.size() - 2);
        std::vector<std::string> keys, values;
        ini.ReadSection(section, keys);
        ini.ReadSectionValues(section, values);
        Check(keys.size() == values.size());
        for (const std::string &key : keys) {
            ini.ReadString(section, key, "");
            ini.ReadChar(section, key, ' ');
            ini.ReadInteger(section, key, 0);
            ini.ReadFloat(section, key, 0);
            ini.ReadBool(section, key, false);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const std::string path = ScratchFile();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    {
        TBigIniFile ini(path);
        ReadEverything(ini);
        TSettings settings;
        LoadSettings(ini, settings);
        SaveSettings(ini, settings);
        const std::vector<std::string> written = Strings(ini);
        ini.OpenFile(path);
        Check(Strings(ini) == written);
        Check(!ini.Modified());
        TSettings again;
        LoadSettings(ini, again);
        Check(again.Device == settings.Device && again.LastFilename == settings.LastFilename);
    }
    ::unlink(path.c_str());
    return 0;
}
