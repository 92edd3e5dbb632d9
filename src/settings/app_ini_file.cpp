#include "settings/app_ini_file.h"

#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Judged with the effective ids, as the write itself will be.
bool CanWriteFolder(const fs::path &folder)
{
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

fs::path HomeFolder()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

// A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules require.
fs::path ConfigHome()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg && fs::path(xdg).is_absolute())
        return xdg;
    return HomeFolder() / ".config";
}

// A folder that cannot be created shows up later, when the first save names it in its error.
fs::path UserSettingsFile(const fs::path &name)
{
    const fs::path folder = ConfigHome() / "korvel";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder / name;
}

// An installed program (<prefix>/bin beside <prefix>/share/doc/korvel) is shared by every user: even
// where its folder is writable (root), a settings file created there would be taken by all of them.
bool IsInstalled(const fs::path &folder)
{
    std::error_code ec;
    return fs::is_directory(folder / ".." / "share" / "doc" / "korvel", ec);
}

} // namespace

// A program file replaced while it runs (a rebuild) reads back with this mark appended.
fs::path ProgramFile()
{
    std::error_code ec;
    std::string exe = fs::read_symlink("/proc/self/exe", ec).string();
    const std::string deleted = " (deleted)";
    if (exe.ends_with(deleted))
        exe.resize(exe.size() - deleted.size());
    return ec ? fs::path("korvel") : fs::path(exe);
}

fs::path SettingsFilePathFor(const fs::path &program)
{
    fs::path beside = program;
    beside.replace_extension(".ini");
    const fs::path folder = beside.has_parent_path() ? beside.parent_path() : fs::path(".");
    std::error_code ec;
    if (fs::exists(beside, ec) || (CanWriteFolder(folder) && !IsInstalled(folder)))
        return beside;
    return UserSettingsFile(beside.filename());
}

fs::path SettingsFilePath() { return SettingsFilePathFor(ProgramFile()); }

TAppIniFile::TAppIniFile() : TBiggerIniFile(SettingsFilePath().string()) {}
