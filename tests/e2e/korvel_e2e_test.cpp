// The GUI program as a process, the way an IDE and a user meet it: a copy of korvel in a scratch
// folder with its own settings file, offscreen, programming the virtual chip.
#include "shell_run.h"
#include "spawned_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <spawn.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
        Env = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + (Dir / "run").string()};
    }
    void TearDown() override { fs::remove_all(Dir); }

    void WriteSettings(const std::string &extra)
    {
        std::ofstream(Dir / "korvel.ini", std::ios::binary)
            << "[SerialPort]\r\n" << extra << "[Delays]\r\nResetDelay1=1\r\nResetDelay2=1\r\n";
    }

    std::unique_ptr<TProcess> Start(const std::vector<std::string> &arguments, const std::string &log = "korvel-stderr.txt")
    {
        std::vector<std::string> args{(Dir / "korvel").string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return std::make_unique<TProcess>(args, Env, Dir / log);
    }

    TRun Cli(const std::string &arguments)
    {
        return Shell(KORVEL_BINARY_DIR "/src/app/korvel-cli --settings " + (Dir / "korvel.ini").string() + " " + arguments,
                     Dir);
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
    std::vector<std::string> Env; // of korvel
};

// korvel under a window manager on Xvfb, typed at with xdotool: what only a window manager shows, a
// popup left on screen, the keyboard focus, the window in front.
class KorvelDesktopTest : public KorvelProcessTest {
protected:
    void SetUp() override
    {
        KorvelProcessTest::SetUp();
        for (const char *tool : {"Xvfb", "openbox", "xdotool", "xprop"})
            if (Shell(std::string("command -v ") + tool, Dir).Code != 0)
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        Server = std::make_unique<TXServer>();
        ASSERT_FALSE(Server->Display.empty()) << "Xvfb did not start";
        Display = "DISPLAY=" + Server->Display;
        Manager = std::make_unique<TProcess>(std::vector<std::string>{"openbox"}, std::vector{Display}, Dir / "wm.txt");
        ASSERT_TRUE(WaitUntil([&] { return X("xprop -root _NET_SUPPORTING_WM_CHECK").find("id #") != std::string::npos; }))
            << Display << "\n" << ReadText(Dir / "wm.txt");
        // Qt's own dialogs, not a desktop's that a platform theme would bring.
        Env = {Display, "QT_QPA_PLATFORM=xcb", "QT_QPA_PLATFORMTHEME=generic", "XDG_RUNTIME_DIR=" + (Dir / "run").string()};
        WriteSettings("PortName=sim\r\n");
    }

    std::string X(const std::string &command) { return Shell(Display + " " + command, Dir).Out; }
    bool Focused(const std::string &name) { return X("xdotool getwindowfocus getwindowname") == name + "\n"; }
    // Mapped windows of a process: its windows and any popup (a menu, a completion list).
    int Shown(const TProcess &process)
    {
        const std::string ids = X("xdotool search --onlyvisible --pid " + std::to_string(process.Id()));
        return static_cast<int>(std::count(ids.begin(), ids.end(), '\n'));
    }
    // Where the window manager stacks a window, counted from the bottom.
    int Place(const std::string &name)
    {
        std::istringstream stacking(X("xprop -root _NET_CLIENT_LIST_STACKING"));
        int place = 0;
        for (std::string word; stacking >> word; place += word.rfind("0x", 0) == 0)
            if (word.rfind("0x", 0) == 0 &&
                X("xdotool getwindowname " + std::to_string(std::stoul(word, nullptr, 16))) == name + "\n")
                return place;
        return -1;
    }

    // Types a full path into the dialog and presses Return while its completion list shows.
    void TypePath(const TProcess &korvel, int windows, const std::string &title, const fs::path &path)
    {
        ASSERT_TRUE(WaitUntil([&] { return Focused(title); })) << title;
        X("xdotool type --delay 20 '" + path.string() + "'");
        ASSERT_TRUE(WaitUntil([&] { return Shown(korvel) == windows + 2; })) << "no completion list";
        X("xdotool key Return");
        ASSERT_TRUE(WaitUntil([&] { return Shown(korvel) < windows + 2; })) << title << " stayed open";
    }

    // Nothing of a dialog is left, and `window` opens its menu with its Alt key. A window just given
    // the focus may not take keys yet, so the key is tried again until the menu opens.
    void OpenMenu(const TProcess &korvel, int windows, const std::string &window, const std::string &key)
    {
        std::this_thread::sleep_for(300ms); // a popup left behind would show by now
        EXPECT_EQ(Shown(korvel), windows) << "a popup stayed on screen";
        EXPECT_TRUE(WaitUntil([&] { return Focused(window); })) << window;
        // A menu stays off while an operation ends, a little after the chip's image was written.
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (Shown(korvel) == windows && std::chrono::steady_clock::now() < end) {
            X("xdotool key " + key);
            WaitUntil([&] { return Shown(korvel) > windows; }, 3s);
        }
        EXPECT_EQ(Shown(korvel), windows + 1) << key << " opened no menu";
    }

    // Presses `key` while `pending` holds, again after each press left unanswered for two seconds: a
    // window just given the focus, or a button an ending operation still holds off, may not take it.
    bool PressWhile(const std::string &key, const std::function<bool()> &pending)
    {
        return WaitUntil([&] {
            if (!pending())
                return true;
            X("xdotool key " + key);
            return WaitUntil([&] { return !pending(); }, 2s);
        });
    }

    std::string Display;
    std::unique_ptr<TXServer> Server;
    std::unique_ptr<TProcess> Manager;
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

// Batch mode programs unattended, so a file that is no Intel-HEX, or a damaged one, is refused with
// exit 3 and the chip keeps what it held.
TEST_F(KorvelProcessTest, BatchModeRefusesADamagedIntelHexFileAndLeavesTheChipAlone)
{
    WriteSettings("PortName=sim\r\n");
    std::ofstream(Dir / "fw.bin", std::ios::binary) << "\x02\x01\x30";
    ASSERT_EQ(Cli("--port sim:" + (Dir / "korvel.ini.sim").string() + " write-code " + (Dir / "fw.bin").string()).Code, 0);
    const std::string chip = ReadText(Dir / "korvel.ini.sim"), file = (Dir / "fw.hex").string();
    const std::pair<std::string, std::string> cases[] = {
        {"hello, world\n", " is not an Intel-HEX file: it holds no data record\n"},
        {":03000000020130CA\n:030003", ": line 2 is damaged (not an Intel-HEX record); the end-of-file record is "
                                       "missing: the file may be cut off\nNothing was written.\n"},
    };
    for (const auto &[text, said] : cases) {
        std::ofstream(file, std::ios::binary) << text;
        EXPECT_EQ(Start({file})->Wait(30s), 3) << text;
        EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find("korvel: " + file + said), std::string::npos)
            << ReadText(Dir / "korvel-stderr.txt");
        EXPECT_EQ(ReadText(Dir / "korvel.ini.sim"), chip) << text;
    }
}

// An IDE waits for the batch run to end: a file that is not there, or a settings file that cannot be
// read, ends it at once with exit 3 and the reason on standard error, with no box left waiting.
TEST_F(KorvelProcessTest, BatchModeEndsAtOnceWhenItCannotStart)
{
    WriteSettings("PortName=sim\r\n");
    EXPECT_EQ(Start({(Dir / "missing.hex").string()})->Wait(30s), 3);
    EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find("korvel: Cannot open \"" + (Dir / "missing.hex").string() +
                                                         "\": No such file or directory\nNothing was written.\n"),
              std::string::npos)
        << ReadText(Dir / "korvel-stderr.txt");
    fs::remove(Dir / "korvel.ini");
    fs::create_directory(Dir / "korvel.ini");
    std::ofstream(Dir / "fw.bin", std::ios::binary) << "\x02";
    EXPECT_EQ(Start({(Dir / "fw.bin").string()})->Wait(30s), 3);
    EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find("korvel: Cannot read the settings file " + (Dir / "korvel.ini").string()),
              std::string::npos)
        << ReadText(Dir / "korvel-stderr.txt");
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
    EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find(" of $1FFF: the chip holds a partly written image\n"),
              std::string::npos)
        << ReadText(Dir / "korvel-stderr.txt");
    EXPECT_EQ(Cli("verify-code " + (Dir / "big.bin").string()).Code, 2); // written part way, kept in the image
}

TEST_F(KorvelDesktopTest, FileDialogsTakeATypedPathWithReturnAndGiveTheKeyboardBack)
{
    const std::string bar = "Korvel Vers 20030210";
    fs::create_directory(Dir / "other");
    for (const fs::path &file : {Dir / "here.hex", Dir / "other" / "there.hex"})
        fs::copy_file(KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", file);
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/basic/squares.bas", Dir / "squares.bas");
    auto korvel = Start({});
    ASSERT_TRUE(WaitUntil([&] { return Focused(bar); }));
    // In the program's folder, where the dialog opens first, then in another.
    for (const fs::path &file : {Dir / "here.hex", Dir / "other" / "there.hex"}) {
        OpenMenu(*korvel, 1, bar, "alt+b");
        X("xdotool key l i");
        TypePath(*korvel, 1, "Open", file);
        EXPECT_TRUE(WaitUntil([&] { return ReadText(Dir / "korvel.ini").find(file.string() + "\r") != std::string::npos; }));
    }
    OpenMenu(*korvel, 1, bar, "alt+b");
    X("xdotool key Escape alt+t");
    OpenMenu(*korvel, 2, "Terminal", "alt+f");
    X("xdotool key o");
    TypePath(*korvel, 2, "Open", Dir / "squares.bas");
    std::this_thread::sleep_for(2500ms); // the virtual chip never prompts: the upload gives up
    OpenMenu(*korvel, 2, "Terminal", "alt+f");
}

TEST_F(KorvelDesktopTest, ASecondStartShowsItsRefusalInFrontOfTheRunningBar)
{
    auto first = Start({});
    ASSERT_TRUE(WaitUntil([&] { return Focused("Korvel Vers 20030210"); }));
    auto second = Start({}, "second.txt");
    ASSERT_TRUE(WaitUntil([&] { return Focused("Korvel"); }));
    EXPECT_EQ(Place("Korvel"), Place("Korvel Vers 20030210") + 1) << "in front of the bar, which stays on top";
    X("xdotool key Return");
    EXPECT_EQ(second->Wait(10s), 5);
    EXPECT_FALSE(first->Wait(0ms));
}

// Fast Redo on a chip this run has not written, and again after a Chip Erase in the same run, leaves
// the file in the chip: bytes of the file that equal an image the run never wrote are written too.
TEST_F(KorvelDesktopTest, FastRedoAfterTheStartAndAfterAChipEraseLeavesTheFileInTheChip)
{
    std::ofstream(Dir / "fw.bin", std::ios::binary) << std::string("\x00\x11\x00\x22\x00\x00", 6);
    WriteSettings("PortName=sim\r\n[General]\r\nFastRedo=True\r\nLastFiletyp=B\r\nLastFilename=" +
                  (Dir / "fw.bin").string() + "\r\n");
    ASSERT_EQ(Cli("erase").Code, 0);
    const std::string verify = "verify-code " + (Dir / "fw.bin").string();
    auto korvel = Start({});
    ASSERT_TRUE(WaitUntil([&] { return Focused("Korvel Vers 20030210"); }));
    // Redo has run when the chip's image is written anew.
    auto redo = [&] {
        const ino_t before = ImageInode();
        return PressWhile("alt+r", [&] { return ImageInode() == 0 || ImageInode() == before; });
    };

    ASSERT_TRUE(redo());
    // While the program runs it holds the image, as it would hold a port: its bytes are read directly.
    const auto holds = [&] { return ReadText(Dir / "korvel.ini.sim").substr(12, 6) == ReadText(Dir / "fw.bin"); };
    EXPECT_TRUE(holds()) << "after the start";

    const ino_t beforeErase = ImageInode();
    OpenMenu(*korvel, 1, "Korvel Vers 20030210", "alt+d");
    X("xdotool key Down Down Down Down Down Down Down Return"); // the eighth command: Chip Erase
    ASSERT_TRUE(WaitUntil([&] { return Focused("Attention"); }));
    ASSERT_TRUE(PressWhile("Return", [&] { return Focused("Attention"); }));
    ASSERT_TRUE(WaitForNewImage(beforeErase));
    ASSERT_EQ(ReadText(Dir / "korvel.ini.sim").substr(12, 6), std::string(6, '\xFF')) << "erased";

    ASSERT_TRUE(redo());
    korvel->Signal(SIGTERM);
    EXPECT_EQ(korvel->Wait(10s), 0);
    const TRun afterErase = Cli(verify);
    EXPECT_EQ(afterErase.Code, 0) << afterErase.Out;
}

// The terminal on the virtual chip as a user meets it: the program korvel-cli wrote runs once korvel
// has the port, takes what is typed into the terminal, and answers LIST into a file chosen from the
// terminal's File menu. A user types after the greeting; this test types once s51 runs. Keys leave
// the terminal one a poll, so the first listing may catch the end of the typed line's echo: it is
// asked for again until it holds just the line.
TEST_F(KorvelDesktopTest, TheTerminalTalksToTheProgramInTheVirtualChip)
{
    if (Shell("command -v s51", Dir).Code != 0)
        GTEST_SKIP() << "s51 (Debian package sdcc-ucsim) is not installed";
    WriteSettings("PortName=sim\r\nBaudrate=5\r\n[General]\r\nDevice=3\r\n");
    ASSERT_EQ(Cli("write-code " KORVEL_SOURCE_DIR "/examples/listing/listing.ihx").Code, 0);
    auto korvel = Start({});
    ASSERT_TRUE(WaitUntil([&] { return Focused("Korvel Vers 20030210"); }));
    ASSERT_TRUE(WaitUntil([&] { return Shell("pgrep -x -P " + std::to_string(korvel->Id()) + " s51", Dir).Code == 0; }));
    ASSERT_TRUE(PressWhile("alt+t", [&] { return !Focused("Terminal"); }));
    X("xdotool type --delay 30 '10 PRINT 7'");
    X("xdotool key Return");
    std::string listed;
    for (int attempt = 1; attempt <= 4 && listed != "10 PRINT 7\r\n"; ++attempt) {
        OpenMenu(*korvel, 2, "Terminal", "alt+f");
        X("xdotool key s");
        // A new name has nothing to complete: the list closes while it is typed.
        const fs::path file = Dir / ("listed" + std::to_string(attempt) + ".bas");
        ASSERT_TRUE(WaitUntil([&] { return Focused("Save As"); }));
        X("xdotool type --delay 20 '" + file.string() + "'");
        ASSERT_TRUE(PressWhile("Return", [&] { return Focused("Save As"); }));
        WaitUntil([&] { return fs::exists(file); });
        listed = ReadText(file);
    }
    EXPECT_EQ(listed, "10 PRINT 7\r\n");
    korvel->Signal(SIGTERM);
    EXPECT_EQ(korvel->Wait(10s), 0);
}
