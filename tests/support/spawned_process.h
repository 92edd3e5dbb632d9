// A program started beside the test, for the whole-process tests that signal it or read its output
// while it runs.
#pragma once
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

class TProcess {
public:
    // `env` comes ahead of the inherited environment; stderr goes to `log`, stdout to `out` when given;
    // with `input`, stdin is a pipe that Send writes and CloseInput ends.
    TProcess(const std::vector<std::string> &args, const std::vector<std::string> &env, const std::filesystem::path &log,
             const std::filesystem::path &out = {}, bool input = false)
    {
        int pipeEnds[2] = {-1, -1};
        if (input && ::pipe2(pipeEnds, O_CLOEXEC) != 0)
            pipeEnds[0] = pipeEnds[1] = -1;
        std::vector<char *> argv, envp;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        // Ahead of the inherited environment, whose own DISPLAY or QT_QPA_PLATFORM would win otherwise.
        for (const auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        for (char **e = environ; *e; ++e)
            envp.push_back(*e);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!out.empty())
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (pipeEnds[0] >= 0)
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
        if (posix_spawnp(&Pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeEnds[0] >= 0)
            ::close(pipeEnds[0]);
        Input = pipeEnds[1];
    }
    void Send(const std::string &bytes)
    {
        if (Input >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(Input, bytes.data(), bytes.size());
        }
    }
    void CloseInput()
    {
        if (Input >= 0)
            ::close(Input);
        Input = -1;
    }
    ~TProcess()
    {
        CloseInput();
        if (Pid > 0 && !Status) {
            ::kill(Pid, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
    }
    TProcess(const TProcess &) = delete;
    TProcess &operator=(const TProcess &) = delete;

    // The exit status (128 + the signal for one that ended it), or nothing when the process still
    // runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!Status && std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(Pid, &status, WNOHANG) == Pid)
                Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Status;
    }
    void Signal(int signal) { ::kill(Pid, signal); }
    pid_t Id() const { return Pid; }

private:
    pid_t Pid = -1;
    int Input = -1;
    std::optional<int> Status;
};

template <typename TPredicate>
bool WaitUntil(TPredicate done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
