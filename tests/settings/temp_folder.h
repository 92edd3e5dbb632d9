// Scratch folders and files for the settings tests, and a way to lose root's powers for a while
// so that write protection means something when the tests run as root.
#pragma once
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

// Under root, switches the effective ids to nobody for the scope; otherwise does nothing.
class TUnprivileged {
public:
    TUnprivileged() : FWasRoot(::geteuid() == 0)
    {
        if (FWasRoot && (::setegid(65534) != 0 || ::seteuid(65534) != 0))
            throw std::runtime_error("cannot drop privileges");
    }
    ~TUnprivileged()
    {
        if (FWasRoot && (::seteuid(0) != 0 || ::setegid(0) != 0))
            std::terminate();
    }
    TUnprivileged(const TUnprivileged &) = delete;
    TUnprivileged &operator=(const TUnprivileged &) = delete;

private:
    bool FWasRoot;
};
