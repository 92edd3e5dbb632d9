// Scratch folders, file helpers and a recorder for the load notifications, shared by the buffer tests.
#pragma once
#include "unprivileged.h"
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "buffer/buffer_notify.h"
#include "buffer/memory_buffer.h"

class TTempDir {
public:
    TTempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvel-buffer-XXXXXX").string();
        Path = ::mkdtemp(pattern.data());
        // Open to everybody, so that a test running as an unprivileged user can read in it.
        ::chmod(Path.c_str(), 0755);
    }
    ~TTempDir()
    {
        std::error_code error;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(Path, error))
            ::chmod(entry.path().c_str(), 0755);
        std::filesystem::remove_all(Path, error);
    }
    std::string File(const std::string &name) const { return Path + "/" + name; }
    const std::string &Folder() const { return Path; }

private:
    std::string Path;
};

inline void WriteBytes(const std::string &path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes whose value depends on their position, so that shifted or repeated data shows.
inline std::string PatternBytes(std::size_t count, unsigned seed = 0)
{
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251 + seed) & 0xFF);
    return bytes;
}

inline std::string BufferBytes(const TMemoryBuffer &memory, int first, int count)
{
    return std::string(reinterpret_cast<const char *>(memory.Buffer.data()) + first, static_cast<std::size_t>(count));
}

inline TMemoryBuffer FilledBuffer(std::uint8_t value)
{
    TMemoryBuffer memory;
    memory.Buffer.fill(value);
    return memory;
}

struct TNoteRecorder {
    int Refreshes = 0;
    std::vector<std::pair<std::string, std::string>> Notes;

    TBufferNotify Notify()
    {
        return {[this] { ++Refreshes; },
                [this](const std::string &caption, const std::string &text) { Notes.emplace_back(caption, text); }};
    }
};

