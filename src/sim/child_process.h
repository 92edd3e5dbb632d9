// A program run as a child of this process that never outlives the thread which started it.
//
// The child gets SIGKILL from the kernel when that thread ends, also when the whole process dies
// without cleaning up (a crash, SIGKILL), so no helper program is left behind. It runs in a process
// group of its own, so a terminal's Ctrl-C reaches only this process, which decides what to do with
// the child. Start it from a thread that lives as long as the child should.
#pragma once
#include <string>
#include <vector>

#include <sys/types.h>

class TChildProcess {
public:
    // Where PATH finds `name` as an executable file; empty when nowhere.
    static std::string FindOnPath(const std::string &name);

    // Runs the program at `path` with `args` (args[0] is the name it sees); descriptor i of the child
    // is fds[i], and it inherits no other. Throws std::system_error when no child can be made; a
    // program that cannot be run ends at once with status 127.
    TChildProcess(const std::string &path, const std::vector<std::string> &args, const std::vector<int> &fds);
    // Kills the child if it still runs, and reaps it.
    ~TChildProcess();
    TChildProcess(const TChildProcess &) = delete;
    TChildProcess &operator=(const TChildProcess &) = delete;

    pid_t Pid() const { return Id; }
    void Signal(int signal) const;
    // Waits until the child has ended and reaps it: "exited with status 1", "killed by signal 9".
    std::string WaitForEnd();

private:
    pid_t Id = -1;
    bool Reaped = false;
};
