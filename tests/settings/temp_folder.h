// Scratch folders and files for the settings tests.
#pragma once
#include "unprivileged.h"
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class TTempFolder {
public:
    TTempFolder()
    {
        std::string name = (std::filesystem::temp_directory_path() / "korvel-ini-XXXXXX").string();
        if (!::mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed");
        FPath = name;
        std::filesystem::permissions(FPath, std::filesystem::perms::all);
    }
    ~TTempFolder()
    {
        std::error_code ec;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(FPath, ec))
            if (entry.is_directory())
                std::filesystem::permissions(entry.path(), std::filesystem::perms::all, ec);
        std::filesystem::remove_all(FPath, ec);
    }
    TTempFolder(const TTempFolder &) = delete;
    TTempFolder &operator=(const TTempFolder &) = delete;

    const std::filesystem::path &Path() const { return FPath; }
    std::string File(const std::string &name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

inline void WriteBytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}


