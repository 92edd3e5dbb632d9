#include "sim/sim_image.h"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char Magic[8] = {'K', 'O', 'R', 'V', 'S', 'I', 'M', '1'};
constexpr std::size_t HeaderSize = 12;
constexpr std::uint8_t KnownLockBits = 0x07;

std::size_t CodeBytes(TChipKind kind) { return static_cast<std::size_t>(ChipInfo(kind).CodeSize); }
std::size_t DataBytes(TChipKind kind) { return static_cast<std::size_t>(ChipInfo(kind).DataSize); }
std::size_t ImageSize(TChipKind kind) { return HeaderSize + CodeBytes(kind) + DataBytes(kind); }

// The largest image of any kind, plus one byte, is enough to tell "too long" without reading a huge
// file.
std::size_t ReadLimit()
{
    std::size_t largest = 0;
    for (const TChipInfo &chip : ChipTable)
        largest = std::max(largest, ImageSize(chip.Kind));
    return largest + 1;
}

[[noreturn]] void Fail(const std::string &path, const std::string &reason)
{
    throw TSimImageError("Virtual chip image " + path + ": " + reason);
}

std::vector<std::uint8_t> ReadAtMost(const std::string &path, std::size_t limit)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        Fail(path, std::strerror(errno));
    std::vector<std::uint8_t> bytes(limit);
    const std::size_t got = std::fread(bytes.data(), 1, limit, file);
    const bool failed = std::ferror(file);
    const int error = errno;
    std::fclose(file);
    if (failed)
        Fail(path, std::strerror(error));
    bytes.resize(got);
    return bytes;
}

TChipKind CheckHeader(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    if (bytes.size() < HeaderSize || std::memcmp(bytes.data(), Magic, sizeof Magic) != 0)
        Fail(path, "not a virtual chip image");
    if (bytes[8] >= ChipTable.size())
        Fail(path, "unknown chip kind " + std::to_string(bytes[8]));
    if (bytes[9] & ~KnownLockBits)
        Fail(path, "unknown lock bits " + std::to_string(bytes[9]));
    const TChipKind kind = static_cast<TChipKind>(bytes[8]);
    if (bytes.size() != ImageSize(kind))
        Fail(path, "wrong size for an " + ChipKindName(kind) + " image (expected " +
                       std::to_string(ImageSize(kind)) + " bytes)");
    return kind;
}

void WriteAll(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            throw std::system_error(errno, std::generic_category());
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

std::vector<std::uint8_t> Serialise(const TSimImage &image)
{
    std::vector<std::uint8_t> bytes(Magic, Magic + sizeof Magic);
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(image.Kind), image.LockBits, 0, 0});
    bytes.insert(bytes.end(), image.Code.begin(), image.Code.end());
    bytes.insert(bytes.end(), image.Data.begin(), image.Data.end());
    return bytes;
}

} // namespace

TSimImage TSimImage::Erased(TChipKind kind)
{
    return TSimImage{kind, 0, std::vector<std::uint8_t>(CodeBytes(kind), 0xFF),
                     std::vector<std::uint8_t>(DataBytes(kind), 0xFF)};
}

TSimImage TSimImage::Load(const std::string &path)
{
    const std::vector<std::uint8_t> bytes = ReadAtMost(path, ReadLimit());
    TSimImage image;
    image.Kind = CheckHeader(path, bytes);
    image.LockBits = bytes[9];
    const auto code = bytes.begin() + HeaderSize;
    image.Code.assign(code, code + static_cast<std::ptrdiff_t>(CodeBytes(image.Kind)));
    image.Data.assign(code + static_cast<std::ptrdiff_t>(CodeBytes(image.Kind)), bytes.end());
    return image;
}

void TSimImage::Save(const std::string &path) const
{
    const std::vector<std::uint8_t> bytes = Serialise(*this);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        Fail(path, std::strerror(errno));
    try {
        WriteAll(fd, bytes.data(), bytes.size());
        if (::fsync(fd) != 0)
            throw std::system_error(errno, std::generic_category());
    } catch (const std::system_error &error) {
        ::close(fd);
        ::unlink(temp.c_str());
        Fail(path, error.code().message());
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        Fail(path, std::strerror(error));
    }
}
