// The GUI program as a process, the way an IDE and a user meet it: a copy of korvel in a scratch
// folder with its own settings file, offscreen, programming the virtual chip.
#include "shell_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <spawn.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TProcess {
public:
    TProcess(const std::vector<std::string> &args, const std::vector<std::string> &env, const fs::path &log)
    {
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
        if (posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TProcess()
    {
        if (Pid > 0 && !Status) {
            ::kill(Pid, SIGKILL);
            Wait(5s);
        }
    }

    // The exit status, or nothing when the process still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!Status && std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(Pid, &status, WNOHANG) == Pid)
                Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(20ms);
        }
        return Status;
    }
    void Signal(int signal) { ::kill(Pid, signal); }

private:
    pid_t Pid = -1;
    std::optional<int> Status;
};

// A private X server (Xvfb on the first free display) for the tests that press keys in the window.
class TXServer {
public:
    TXServer()
    {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const char *argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp", nullptr};
        if (posix_spawnp(&Pid, "Xvfb", &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe[1]);
        std::string number;
        pollfd ready{pipe[0], POLLIN, 0};
        char digit;
        while (::poll(&ready, 1, 20000) > 0 && ::read(pipe[0], &digit, 1) == 1 && digit != '\n')
            number += digit;
        ::close(pipe[0]);
        if (!number.empty())
            Display = ":" + number;
    }
    ~TXServer()
    {
        if (Pid > 0) {
            ::kill(Pid, SIGTERM);
            ::waitpid(Pid, nullptr, 0);
        }
    }
    TXServer(const TXServer &) = delete;
    TXServer &operator=(const TXServer &) = delete;

    std::string Display; // empty when the server did not start

private:
    pid_t Pid = -1;
};

template <typename TPredicate> bool WaitUntil(TPredicate done, std::chrono::milliseconds timeout = 20s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class KorvelProcessTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() /
              ("korvel-e2e-" + std::to_string(::getpid()) + "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir / "run");
        fs::permissions(Dir / "run", fs::perms::owner_all);
        fs::copy_file(KORVEL_BINARY_DIR "/src/app/korvel", Dir / "korvel");
    }
    void TearDown() override { fs::remove_all(Dir); }

    void WriteSettings(const std::string &extra)
    {
        std::ofstream(Dir / "korvel.ini", std::ios::binary)
            << "[SerialPort]\r\n" << extra << "[Delays]\r\nResetDelay1=1\r\nResetDelay2=1\r\n";
    }

    // Offscreen, or on the X display named (":N").
    std::unique_ptr<TProcess> Start(const std::vector<std::string> &arguments, const std::string &log = "korvel-stderr.txt",
                                    const std::string &display = {})
    {
        std::vector<std::string> args{(Dir / "korvel").string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env{"XDG_RUNTIME_DIR=" + (Dir / "run").string()};
        if (display.empty())
            env.push_back("QT_QPA_PLATFORM=offscreen");
        else
            env.insert(env.end(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display});
        return std::make_unique<TProcess>(args, env, Dir / log);
    }

    TRun Cli(const std::string &arguments)
    {
        return Shell(KORVEL_BINARY_DIR "/src/app/korvel-cli --settings " + (Dir / "korvel.ini").string() + " " + arguments,
                     Dir);
    }

    // xdotool on the display: what it printed, one window or value a line.
    std::string Xdo(const std::string &display, const std::string &arguments)
    {
        const TRun run = Shell("DISPLAY=" + display + " xdotool " + arguments, Dir);
        return run.Code == 0 ? run.Out : std::string();
    }
    std::string FirstWindow(const std::string &display, const std::string &search)
    {
        const std::string found = Xdo(display, "search " + search);
        return found.substr(0, found.find('\n'));
    }

    // The virtual chip's image is replaced by a new file at the end of every operation that changed it.
    ino_t ImageInode() const
    {
        struct stat st {};
        return ::stat((Dir / "korvel.ini.sim").c_str(), &st) == 0 ? st.st_ino : 0;
    }
    bool WaitForNewImage(ino_t before) const
    {
        return WaitUntil([&] { return ImageInode() != 0 && ImageInode() != before; });
    }

    fs::path Dir;
};

} // namespace

TEST_F(KorvelProcessTest, FirstStartWritesEveryDefaultAndASignalClosesIt)
{
    auto korvel = Start({});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(Dir / "korvel.ini") && fs::file_size(Dir / "korvel.ini") > 300; }));
    korvel->Signal(SIGTERM);
    EXPECT_EQ(korvel->Wait(10s), 0);
    EXPECT_EQ(ReadText(Dir / "korvel.ini"),
              "[General]\r\nLastFilename=\r\nLastFiletyp=H\r\nDevice=0\r\nFastRedo=False\r\n\r\n"
              "[Serialport]\r\nPort=1\r\nBaudrate=0\r\nRESETInvert=False\r\nSCLInvert=False\r\nMOSIInvert=False\r\n"
              "MISOInvert=False\r\nReset_Line=2\r\nMosi_Line=1\r\nScl_Line=0\r\nMiso_Line=0\r\n\r\n"
              "[Delays]\r\nResetDelay1= 2.00000000000000E+0002\r\nResetDelay2= 2.00000000000000E+0002\r\n"
              "ClockDelay= 0.00000000000000E+0000\r\nWriteDelay= 3.00000000000000E+0000\r\n\r\n");
}

TEST_F(KorvelProcessTest, BatchModeProgramsTheChipClosesByItselfAndReportsTheOutcome)
{
    WriteSettings("PortName=sim\r\n");
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", Dir / "echo.HEX");
    EXPECT_EQ(Start({(Dir / "echo.HEX").string()})->Wait(60s), 0);
    const TRun verified = Cli("verify-code " + (Dir / "echo.HEX").string());
    EXPECT_EQ(verified.Code, 0) << verified.Out << verified.Err;

    fs::create_directory(Dir / "folder.hex"); // exists, but cannot be read as a file
    EXPECT_EQ(Start({(Dir / "folder.hex").string()})->Wait(30s), 3);

    WriteSettings("PortName=" + (Dir / "no-such-tty").string() + "\r\n");
    EXPECT_EQ(Start({(Dir / "echo.HEX").string()})->Wait(30s), 4);
    EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find("no-such-tty"), std::string::npos);
}

TEST_F(KorvelProcessTest, ASecondStartIsRefusedWhileTheFirstRuns)
{
    WriteSettings("PortName=sim\r\n");
    auto first = Start({});
    ASSERT_TRUE(WaitUntil([&] { return fs::file_size(Dir / "korvel.ini") > 300; })); // written back at start
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", Dir / "echo.hex");
    EXPECT_EQ(Start({(Dir / "echo.hex").string()}, "second.txt")->Wait(30s), 5);
    EXPECT_FALSE(first->Wait(0ms));
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(10s), 0);
}

TEST_F(KorvelProcessTest, ClosingDuringALongWriteEndsItPromptly)
{
    WriteSettings("PortName=sim\r\n");
    std::ofstream(Dir / "big.bin", std::ios::binary) << std::string(8192, '\x5A'); // half a minute of writes
    auto korvel = Start({(Dir / "big.bin").string()});
    std::this_thread::sleep_for(3s);
    ASSERT_FALSE(korvel->Wait(0ms));
    const auto closed = std::chrono::steady_clock::now();
    korvel->Signal(SIGTERM);
    EXPECT_EQ(korvel->Wait(10s), 5); // the write did not end
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 5s);
    EXPECT_EQ(Cli("verify-code " + (Dir / "big.bin").string()).Code, 2); // written part way, kept in the image
}

// The program on a private X server, driven by xdotool as a user at the keyboard drives it.
class KorvelOnX : public KorvelProcessTest {};

// Fast Redo on a chip this run has not written, and again after a Chip Erase in the same run, leaves
// the file in the chip: bytes of the file that equal an image the run never wrote are written too.
TEST_F(KorvelOnX, FastRedoAfterTheStartAndAfterAChipEraseLeavesTheFileInTheChip)
{
    const TXServer x;
    ASSERT_FALSE(x.Display.empty()) << "Xvfb (Debian package xvfb) did not start";
    std::ofstream(Dir / "fw.bin", std::ios::binary) << std::string("\x00\x11\x00\x22\x00\x00", 6);
    WriteSettings("PortName=sim\r\n[General]\r\nFastRedo=True\r\nLastFiletyp=B\r\nLastFilename=" +
                  (Dir / "fw.bin").string() + "\r\n");
    ASSERT_EQ(Cli("erase").Code, 0);
    const std::string verify = "verify-code " + (Dir / "fw.bin").string();
    auto korvel = Start({}, "korvel-stderr.txt", x.Display);
    std::string window;
    ASSERT_TRUE(WaitUntil([&] { return !(window = FirstWindow(x.Display, "--onlyvisible --name '^Korvel Vers'")).empty(); }));
    auto redo = [&] {
        const ino_t before = ImageInode();
        Xdo(x.Display, "windowfocus --sync " + window + " key alt+r");
        return WaitForNewImage(before);
    };

    ASSERT_TRUE(redo());
    const TRun afterStart = Cli(verify);
    EXPECT_EQ(afterStart.Code, 0) << afterStart.Out;

    const ino_t beforeErase = ImageInode();
    Xdo(x.Display, "windowfocus --sync " + window + " key alt+d");
    // The menu opens as a second window of the program.
    ASSERT_TRUE(WaitUntil([&] {
        const std::string shown = Xdo(x.Display, "search --onlyvisible --class korvel");
        return std::count(shown.begin(), shown.end(), '\n') == 2;
    }));
    Xdo(x.Display, "key Down Down Down Down Down Down Down Return"); // the eighth command: Chip Erase
    std::string question;
    ASSERT_TRUE(WaitUntil([&] { return !(question = FirstWindow(x.Display, "--onlyvisible --name '^Attention$'")).empty(); }));
    Xdo(x.Display, "windowfocus --sync " + question + " key Return");
    ASSERT_TRUE(WaitForNewImage(beforeErase));
    ASSERT_EQ(Cli(verify).Code, 2) << "erased";

    ASSERT_TRUE(redo());
    korvel->Signal(SIGTERM);
    EXPECT_EQ(korvel->Wait(10s), 0);
    const TRun afterErase = Cli(verify);
    EXPECT_EQ(afterErase.Code, 0) << afterErase.Out;
}
