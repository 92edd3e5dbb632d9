// One scratch file per fuzzer process, rewritten for every input and removed at exit.
#pragma once
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

inline const std::string &FuzzFile(std::string_view contents)
{
    static int fd = -1;
    static std::string path;
    if (fd < 0) {
        std::string pattern = "/tmp/korvel-fuzz-XXXXXX";
        fd = ::mkstemp(pattern.data());
        if (fd < 0)
            std::abort();
        path = pattern;
        std::atexit([] { ::unlink(path.c_str()); });
    }
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size()))
        std::abort();
    return path;
}
