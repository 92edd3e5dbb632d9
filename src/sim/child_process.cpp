#include "sim/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Signals whose disposition a front end may have changed (ignored or handled), put back for the child.
constexpr int ResetSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};

void CloseFrom(int first)
{
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0)
        return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = first; fd < (limit > 0 ? limit : 1024); ++fd)
        ::close(fd);
}

// Between fork and exec only async-signal-safe calls: another thread may have held a lock at the fork.
// `moved` has room for a copy of each descriptor: first every one goes above the numbers they become,
// so that putting one in place never overwrites another still to come.
[[noreturn]] void BecomeChild(pid_t parent, const char *path, char *const argv[], const int *fds, int *moved, int count)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    ::setpgid(0, 0);
    for (int i = 0; i < count; ++i)
        moved[i] = ::fcntl(fds[i], F_DUPFD, count);
    for (int i = 0; i < count; ++i)
        ::dup2(moved[i], i);
    CloseFrom(count);
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    for (int signal : ResetSignals)
        ::sigaction(signal, &standard, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(path, argv);
    ::_exit(127);
}

std::string EndText(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

} // namespace

std::string TChildProcess::FindOnPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin"; // what exec uses without PATH
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        const std::string candidate = std::string(folder.empty() ? "." : folder) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

TChildProcess::TChildProcess(const std::string &path, const std::vector<std::string> &args, const std::vector<int> &fds)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<int> moved(fds.size());
    const pid_t parent = ::getpid();
    Id = ::fork();
    if (Id < 0)
        throw std::system_error(errno, std::generic_category(), "cannot start " + path);
    if (Id == 0)
        BecomeChild(parent, path.c_str(), argv.data(), fds.data(), moved.data(), static_cast<int>(fds.size()));
}

TChildProcess::~TChildProcess()
{
    if (Reaped)
        return;
    Signal(SIGKILL);
    WaitForEnd();
}

void TChildProcess::Signal(int signal) const
{
    if (!Reaped)
        ::kill(Id, signal);
}

std::string TChildProcess::WaitForEnd()
{
    int status = 0;
    while (::waitpid(Id, &status, 0) < 0 && errno == EINTR) {
    }
    Reaped = true;
    return EndText(status);
}
