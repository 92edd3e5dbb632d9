// The terminal window against a real 8051 program: the example echo firmware runs in the s51
// simulator, whose UART sits on one pseudo-terminal; the window's port opens another, and the test
// joins their master sides like a null-modem cable.
#include "link/qc_com32.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "terminal/debug_form.h"
#include "terminal_test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char **environ;

namespace {

using namespace std::chrono_literals;

// Copies every byte between the two master sides until it is destroyed.
class TNullModem {
public:
    TNullModem(const TPtyPair &a, const TPtyPair &b)
        : Thread([this, &a, &b] {
              while (!Stopping) {
                  pollfd fds[2] = {{a.Master(), POLLIN, 0}, {b.Master(), POLLIN, 0}};
                  if (::poll(fds, 2, 10) <= 0)
                      continue;
                  Copy(fds[0], b);
                  Copy(fds[1], a);
              }
          })
    {
    }
    ~TNullModem()
    {
        Stopping = true;
        Thread.join();
    }

private:
    static void Copy(const pollfd &from, const TPtyPair &to)
    {
        char bytes[256];
        const ssize_t n = (from.revents & POLLIN) ? ::read(from.fd, bytes, sizeof bytes) : 0;
        if (n > 0)
            to.Send(std::string(bytes, static_cast<std::size_t>(n)));
    }

    std::atomic<bool> Stopping{false};
    std::thread Thread;
};

// s51 running the firmware with its UART on `tty`, stopped when this goes.
class TSimulator {
public:
    TSimulator(const std::string &tty, const std::string &firmware)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // The echo firmware's baud-rate timer assumes an 11.0592 MHz crystal; -g starts it at once.
        const char *argv[] = {"s51", "-X", "11.0592M", "-s", tty.c_str(), "-g", firmware.c_str(), nullptr};
        Error = ::posix_spawnp(&Pid, "s51", &actions, nullptr, const_cast<char **>(argv), environ);
        if (Error != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TSimulator()
    {
        if (Pid > 0) {
            ::kill(Pid, SIGTERM);
            ::waitpid(Pid, nullptr, 0);
        }
    }
    // 0 once it runs; ENOENT when s51 is not installed.
    int Error = 0;

private:
    pid_t Pid = -1;
};

TEST(DebugFormS51, TypedCharactersComeBackFromTheSimulated8051)
{
    TPtyPair portSide;
    TPtyPair simSide;
    simSide.MakeSlaveRaw();
    TNullModem cable(portSide, simSide);
    TSimulator s51(simSide.SlavePath(), KORVEL_SOURCE_DIR "/examples/echo/echo.ihx");
    if (s51.Error == ENOENT)
        GTEST_SKIP() << "s51 (Debian package sdcc-ucsim) is not installed";
    ASSERT_EQ(s51.Error, 0) << std::strerror(s51.Error);

    T_QCCom32 com;
    com.SetShowErrors(false);
    com.SetPortName(portSide.SlavePath());
    ASSERT_TRUE(com.Open());
    TSettings settings;
    TProgStatus status;
    TDebugForm form(com, settings, status);
    form.show();

    const auto screenHas = [&form](const std::string &rows) {
        return ConsoleText(*form.Console1).find(rows) != std::string::npos;
    };
    // The simulator runs slower than the chip on a busy machine: the waits are generous.
    const auto waitFor = [&](const std::string &rows) {
        QDeadlineTimer deadline(60s);
        while (!screenHas(rows) && !deadline.hasExpired())
            QTest::qWait(20);
        return screenHas(rows);
    };
    ASSERT_TRUE(waitFor("Korvel echo ready\n"));
    QTest::keyClicks(form.Console1, "hi 8051");
    QTest::keyClick(form.Console1, Qt::Key_Return);
    EXPECT_TRUE(waitFor("Korvel echo ready\nhi 8051\n\n"));
}

} // namespace
