// Lets one instance of a program file name run at a time: an exclusive lock on a file named after the
// program in the user's runtime folder. The kernel drops the lock when the process ends, however it
// ends, so a crash never locks the user out.
#pragma once
#include <string>

class TSingleInstanceGuard {
public:
    // programName: the program file's name without its folder, so copies in other folders count too.
    explicit TSingleInstanceGuard(const std::string &programName);
    ~TSingleInstanceGuard();
    TSingleInstanceGuard(const TSingleInstanceGuard &) = delete;
    TSingleInstanceGuard &operator=(const TSingleInstanceGuard &) = delete;

    // False when another instance holds the lock. A lock file that cannot be opened at all does not
    // keep the program from starting (LockError says why).
    bool Acquired() const { return Held || Fd < 0; }
    const std::string &LockPath() const { return Path; }
    const std::string &LockError() const { return Error; }

private:
    std::string Path;
    std::string Error;
    int Fd = -1;
    bool Held = false;
};

// $XDG_RUNTIME_DIR/<name>.lock, else /tmp/<name>-<uid>.lock.
std::string LockFilePath(const std::string &programName);
