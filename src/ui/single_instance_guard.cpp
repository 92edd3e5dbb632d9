#include "ui/single_instance_guard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::string LockFilePath(const std::string &programName)
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::string(runtime) + "/" + programName + ".lock";
    return "/tmp/" + programName + "-" + std::to_string(::getuid()) + ".lock";
}

TSingleInstanceGuard::TSingleInstanceGuard(const std::string &programName) : Path(LockFilePath(programName))
{
    // O_NOFOLLOW: in /tmp another user could plant a link to a file of ours.
    Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (Fd < 0) {
        Error = Path + ": " + std::strerror(errno);
        return;
    }
    Held = ::flock(Fd, LOCK_EX | LOCK_NB) == 0;
    if (!Held && errno != EWOULDBLOCK) {
        Error = Path + ": " + std::strerror(errno);
        ::close(Fd);
        Fd = -1;
    }
}

TSingleInstanceGuard::~TSingleInstanceGuard()
{
    if (Fd >= 0)
        ::close(Fd);
}
