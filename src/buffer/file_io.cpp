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
    TFileResult result;
    result.Ok = false;
    result.Error = std::string(what) + " \"" + name + "\": " + reason;
    return result;
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

// Everything but the rename: the owner, group and permissions of the file being replaced, the
// contents, the sync. Only root may give a file away, but anybody may keep a group he belongs to;
// the mode comes after the owner because a change of owner clears the set-id bits.
bool FillTemporary(int fd, std::string_view content, const struct stat *existing)
{
    if (existing) {
        if (::fchown(fd, existing->st_uid, existing->st_gid) != 0)
            (void)!::fchown(fd, static_cast<uid_t>(-1), existing->st_gid);
        if (::fchmod(fd, existing->st_mode & 07777) != 0)
            return false;
    }
    return WriteAll(fd, content) && ::fsync(fd) == 0;
}

// Puts the filled temporary file in the target's place, or removes it.
std::string RenameOver(TFileDescriptor &file, const std::string &temporary, const std::string &target,
                       std::string_view content, const struct stat *existing)
{
    if (!FillTemporary(file.Get(), content, existing) || file.Close() != 0 ||
        ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return std::strerror(error);
    }
    return {};
}

// Without the temporary file a failed write can no longer leave the old contents whole; writing over
// them before cutting the file to length at least needs no new disk space for a file that shrinks.
std::string RewriteInPlace(TFileDescriptor &file, std::string_view content)
{
    if (!WriteAll(file.Get(), content) || ::ftruncate(file.Get(), static_cast<off_t>(content.size())) != 0 ||
        ::fsync(file.Get()) != 0 || file.Close() != 0)
        return std::strerror(errno);
    return {};
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

std::string ReplaceFileContents(const std::string &name, std::string_view content)
{
    const std::string target = ResolveTarget(name);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT)
        return std::strerror(errno);
    if (exists && S_ISDIR(existing.st_mode))
        return std::strerror(EISDIR);
    if (exists && !S_ISREG(existing.st_mode))
        return "not a regular file";
    // A write-protected file stays protected even where its folder would let it be replaced.
    TFileDescriptor inPlace(exists ? ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK) : -1);
    if (exists && inPlace.Get() < 0)
        return std::strerror(errno);
    std::string temporary;
    TFileDescriptor file(CreateTemporary(target, temporary));
    if (file.Get() >= 0)
        return RenameOver(file, temporary, target, content, exists ? &existing : nullptr);
    // A folder the user may not write (a shared install, someone else's folder) can still hold a
    // file that he may write.
    if (exists && (errno == EACCES || errno == EPERM))
        return RewriteInPlace(inPlace, content);
    return std::strerror(errno);
}

TFileResult SaveFileSafely(const std::string &name, std::string_view content)
{
    const std::string reason = ReplaceFileContents(name, content);
    return reason.empty() ? TFileResult{} : Failure("Cannot save", name, reason);
}
