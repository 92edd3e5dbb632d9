#include "editor/storage_file.h"

#include "editor/editor_error.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t TickCount()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string TempDirectory()
{
    std::error_code ec;
    std::string dir = std::filesystem::temp_directory_path(ec).string();
    return ec ? std::string("/tmp") : dir;
}

std::string FreeName()
{
    const std::string dir = TempDirectory();
    uint32_t tick = TickCount();
    std::string name = TStorageFile::NameFor(dir, tick);
    std::error_code ec;
    // Within one millisecond the counter would repeat, so step past a taken name at once.
    while (std::filesystem::exists(std::filesystem::symlink_status(name, ec))) {
        tick = std::max(TickCount(), tick + 1);
        name = TStorageFile::NameFor(dir, tick);
    }
    return name;
}

[[noreturn]] void ThrowSystemError()
{
    throw EHexEditorError(std::strerror(errno));
}

} // namespace

TStorageFile::TStorageFile() : FPath(FreeName()) {}

TStorageFile::~TStorageFile()
{
    if (FFd >= 0) {
        // Emptied first, so the bytes are gone even while another process still holds the file open;
        // a destructor has no one to report a failure to.
        [[maybe_unused]] const int emptied = ::ftruncate(FFd, 0);
        ::close(FFd);
        ::unlink(FPath.c_str());
    }
}

std::string TStorageFile::NameFor(const std::string &tempDir, uint32_t tick)
{
    const auto first = tempDir.find_first_not_of(' ');
    const auto last = tempDir.find_last_not_of(' ');
    std::string dir = first == std::string::npos ? std::string() : tempDir.substr(first, last - first + 1);
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", tick);
    return dir + digits + ".ZWHT";
}

void TStorageFile::Open()
{
    if (FFd >= 0)
        return;
    for (int attempt = 0; attempt < 100; ++attempt) {
        FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (FFd >= 0)
            return;
        if (errno != EEXIST)
            ThrowSystemError();
        FPath = FreeName();
    }
    ThrowSystemError();
}

void TStorageFile::Truncate(int64_t size)
{
    if (FFd >= 0 && ::ftruncate(FFd, size) != 0)
        ThrowSystemError();
}

int64_t TStorageFile::Size() const
{
    struct stat st {};
    if (FFd < 0 || ::fstat(FFd, &st) != 0)
        return 0;
    return st.st_size;
}

void TStorageFile::Read(int64_t pos, uint8_t *dst, int64_t count) const
{
    while (count > 0) {
        const ssize_t got = ::pread(FFd, dst, static_cast<size_t>(count), pos);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ThrowSystemError();
        if (got == 0) { // a short file reads as zeros rather than stale memory
            std::memset(dst, 0, static_cast<size_t>(count));
            return;
        }
        dst += got;
        pos += got;
        count -= got;
    }
}

void TStorageFile::Write(int64_t pos, const uint8_t *src, int64_t count)
{
    while (count > 0) {
        const ssize_t put = ::pwrite(FFd, src, static_cast<size_t>(count), pos);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            ThrowSystemError();
        src += put;
        pos += put;
        count -= put;
    }
}
