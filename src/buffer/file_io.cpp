#include "buffer/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "buffer/memory_buffer.h"

namespace {

constexpr std::size_t ChunkSize = 64 * 1024;

TFileResult Failure(const char *what, const std::string &name, const std::string &reason)
{
    return {false, std::string(what) + " \"" + name + "\": " + reason};
}

TFileResult Failure(const char *what, const std::string &name, int error)
{
    return Failure(what, name, std::strerror(error));
}

class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : Fd(fd) {}
    TFileDescriptor(const TFileDescriptor &) = delete;
    TFileDescriptor &operator=(const TFileDescriptor &) = delete;
    ~TFileDescriptor()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    int Get() const { return Fd; }
    // Closes now so that a failing close (a full disk on some file systems) can be reported.
    int Close()
    {
        const int rc = ::close(Fd);
        Fd = -1;
        return rc;
    }

private:
    int Fd;
};

ssize_t ReadSome(int fd, char *data, std::size_t size)
{
    ssize_t n;
    do
        n = ::read(fd, data, size);
    while (n < 0 && errno == EINTR);
    return n;
}

bool WriteAll(int fd, std::string_view content)
{
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A link is followed so that saving through it replaces the file it names, not the link.
std::string ResolveTarget(const std::string &name)
{
    std::error_code error;
    const auto real = std::filesystem::canonical(name, error);
    return error ? name : real.string();
}

std::string TemporaryName(const std::string &target)
{
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    const std::filesystem::path path(target);
    const std::string stem = "." + path.filename().string() + ".tmp" + std::to_string(::getpid()) + "-" +
                             std::to_string(seed) + "-" + std::to_string(counter++);
    return (path.parent_path() / stem).string();
}

// O_EXCL keeps an existing file (or a planted link) from being reused; mode 0666 lets the umask
// decide the permissions of a new file as for any other file the user creates.
int CreateTemporary(const std::string &target, std::string &temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = TemporaryName(target);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Everything but the rename: the contents, the permissions of the file being replaced, the sync.
bool FillTemporary(int fd, std::string_view content, const struct stat *existing)
{
    if (existing && ::fchmod(fd, existing->st_mode & 07777) != 0)
        return false;
    return WriteAll(fd, content) && ::fsync(fd) == 0;
}

} // namespace

TFileResult ReadFileInChunks(const std::string &name,
                             const std::function<bool(std::string_view chunk)> &consume)
{
    // O_NONBLOCK keeps the open of a pipe without writer, or of a serial line without carrier,
    // from waiting; such files, and devices without an end, are then refused.
    TFileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Get() < 0)
        return Failure("Cannot open", name, errno);
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0)
        return Failure("Cannot read", name, errno);
    if (S_ISDIR(status.st_mode))
        return Failure("Cannot read", name, EISDIR);
    if (!S_ISREG(status.st_mode))
        return Failure("Cannot read", name, "not a regular file");
    std::vector<char> chunk(ChunkSize);
    for (;;) {
        const ssize_t n = ReadSome(file.Get(), chunk.data(), chunk.size());
        if (n < 0)
            return Failure("Cannot read", name, errno);
        if (n == 0 || !consume(std::string_view(chunk.data(), static_cast<std::size_t>(n))))
            return {};
    }
}

TFileResult CheckSaveRange(int first, int last, const std::string &name)
{
    if (first >= 0 && first <= BufferSize && last < BufferSize)
        return {};
    return Failure("Cannot save", name,
                   "the range " + std::to_string(first) + " to " + std::to_string(last) + " lies outside the buffer");
}

TFileResult SaveFileSafely(const std::string &name, std::string_view content)
{
    const std::string target = ResolveTarget(name);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode))
        return Failure("Cannot save", name, EISDIR);
    if (exists && !S_ISREG(existing.st_mode))
        return Failure("Cannot save", name, "not a regular file");
    std::string temporary;
    TFileDescriptor file(CreateTemporary(target, temporary));
    if (file.Get() < 0)
        return Failure("Cannot save", name, errno);
    if (!FillTemporary(file.Get(), content, exists ? &existing : nullptr) || file.Close() != 0 ||
        ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Failure("Cannot save", name, error);
    }
    return {};
}
