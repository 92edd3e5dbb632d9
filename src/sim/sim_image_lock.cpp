#include "sim/sim_image_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A holder that ends removes the file it locked; one that opened it just before may have locked the
// removed file, and tries again with the new one.
constexpr int Attempts = 5;

bool SameFile(int fd, const std::string &path)
{
    struct stat opened {}, named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

} // namespace

TSimImageLock::TSimImageLock(const std::string &imagePath) : LockPath(imagePath + ".lock")
{
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const int fd = ::open(LockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            throw TSimImageError("Virtual chip image " + imagePath + ": " + std::strerror(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                throw TSimImageInUse("Virtual chip image " + imagePath + " is in use by another run of korvel or "
                                     "korvel-cli");
            throw TSimImageError("Virtual chip image " + imagePath + ": " + std::strerror(error));
        }
        if (SameFile(fd, LockPath)) {
            Fd = fd;
            return;
        }
        ::close(fd);
    }
    throw TSimImageInUse("Virtual chip image " + imagePath + " is in use by another run of korvel or korvel-cli");
}

TSimImageLock::~TSimImageLock()
{
    ::unlink(LockPath.c_str());
    ::close(Fd);
}
