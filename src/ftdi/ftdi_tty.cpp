#include "ftdi/ftdi_tty.h"

#include "link/tty_driver.h"

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

bool AnyDescriptorOn(const std::string &node, const fs::path &procRoot)
{
    std::error_code ec;
    for (const fs::directory_entry &process : fs::directory_iterator(procRoot, ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::error_code denied; // another user's process, or one that has just ended
        for (const fs::directory_entry &fd : fs::directory_iterator(process.path() / "fd", denied)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd.path(), unreadable) == node)
                return true;
        }
    }
    return false;
}

} // namespace

std::vector<std::string> FtdiTtys(int bus, int address, int interfaceNumber, const std::string &sysfsRoot)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(fs::path(sysfsRoot) / "class" / "tty", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) != 0)
            continue;
        const TTtyDriver tty = LookUpTtyDriver("/dev/" + name, sysfsRoot);
        if (tty.Kind == TTtyKind::Usb && tty.Driver == "ftdi_sio" && tty.Bus == bus && tty.Address == address &&
            (interfaceNumber < 0 || tty.Interface == interfaceNumber))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FtdiTtyInUse(int bus, int address, int interfaceNumber, const std::string &sysfsRoot,
                         const std::string &procRoot)
{
    for (const std::string &name : FtdiTtys(bus, address, interfaceNumber, sysfsRoot))
        if (AnyDescriptorOn("/dev/" + name, procRoot))
            return "/dev/" + name;
    return {};
}
