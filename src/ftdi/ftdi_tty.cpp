#include "ftdi/ftdi_tty.h"

#include "link/tty_driver.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TDirClose {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using TDir = std::unique_ptr<DIR, TDirClose>;

bool IsNumber(const char *name)
{
    return *name && std::all_of(name, name + std::char_traits<char>::length(name),
                                [](char c) { return c >= '0' && c <= '9'; });
}

// A machine may hold tens of thousands of descriptors: each is one readlinkat on a directory opened
// once per process, and nothing is allocated per descriptor. The node the process holds open, empty
// when none (or when it has just ended); nullopt when its descriptors cannot be read.
std::optional<std::string> HeldNode(int procFd, const char *pid, const std::vector<std::string> &nodes)
{
    const int fdDir = ::openat(procFd, (std::string(pid) + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return errno == EACCES || errno == EPERM ? std::nullopt : std::optional<std::string>("");
    TDir dir(::fdopendir(fdDir));
    if (!dir) {
        ::close(fdDir);
        return "";
    }
    char target[PATH_MAX];
    while (const dirent *entry = ::readdir(dir.get())) {
        const ssize_t length = ::readlinkat(fdDir, entry->d_name, target, sizeof target);
        if (length <= 0)
            continue;
        const std::string_view link(target, static_cast<std::size_t>(length));
        for (const std::string &node : nodes)
            if (link == node)
                return node;
    }
    return "";
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

TTtyUsers FtdiTtyUsers(int bus, int address, int interfaceNumber, const std::string &sysfsRoot,
                       const std::string &procRoot)
{
    TTtyUsers users;
    std::vector<std::string> nodes;
    for (const std::string &name : FtdiTtys(bus, address, interfaceNumber, sysfsRoot))
        nodes.push_back("/dev/" + name);
    if (nodes.empty())
        return users;
    users.Device = nodes.front();
    TDir proc(::opendir(procRoot.c_str()));
    if (!proc) {
        users.Unseen = -1;
        return users;
    }
    while (const dirent *entry = ::readdir(proc.get())) {
        if (!IsNumber(entry->d_name))
            continue;
        const std::optional<std::string> held = HeldNode(::dirfd(proc.get()), entry->d_name, nodes);
        if (!held)
            ++users.Unseen;
        else if (!held->empty()) {
            users.InUse = *held;
            break;
        }
    }
    return users;
}

std::string TtyUsersWarning(const TTtyUsers &users)
{
    if (users.Device.empty() || users.Unseen == 0)
        return {};
    const std::string whose = users.Unseen < 0 ? std::string("the processes") : std::to_string(users.Unseen) +
                                                 (users.Unseen == 1 ? " process" : " processes") + " of other users";
    return "could not see whether " + whose + " had " + users.Device +
           " open: such a program has lost the device while Korvel holds the cable";
}
