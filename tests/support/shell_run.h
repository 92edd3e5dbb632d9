// Runs a shell command for the end-to-end tests and keeps what it printed.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

struct TRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

inline std::string ReadText(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The command's exit status and output; its two streams pass through files in `dir`.
inline TRun Shell(const std::string &command, const std::filesystem::path &dir)
{
    const std::filesystem::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string line = command + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
}
