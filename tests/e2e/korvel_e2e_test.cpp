// The GUI program as a process, the way an IDE and a user meet it: a copy of korvel in a scratch
// folder with its own settings file, offscreen, programming the virtual chip.
#include "process.h"
#include "shell_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

    std::unique_ptr<TProcess> Start(const std::vector<std::string> &arguments, const std::string &log = "korvel-stderr.txt")
    {
        std::vector<std::string> args{(Dir / "korvel").string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return std::make_unique<TProcess>(
            args, std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + (Dir / "run").string()},
            Dir / log);
    }

    TRun Cli(const std::string &arguments)
    {
        return Shell(KORVEL_BINARY_DIR "/src/app/korvel-cli --settings " + (Dir / "korvel.ini").string() + " " + arguments,
                     Dir);
    }

    fs::path Dir;
};

} // namespace

TEST_F(KorvelProcessTest, FirstStartWritesEveryDefaultAndASignalClosesIt)
{
    auto korvel = Start({});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Dir / "korvel.ini") && fs::file_size(Dir / "korvel.ini") > 300; }));
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
    EXPECT_EQ(Start({(Dir / "echo.HEX").string()})->Wait(30s), 1);
    EXPECT_NE(ReadText(Dir / "korvel-stderr.txt").find("no-such-tty"), std::string::npos);
}

TEST_F(KorvelProcessTest, ASecondStartIsRefusedWhileTheFirstRuns)
{
    WriteSettings("PortName=sim\r\n");
    auto first = Start({});
    ASSERT_TRUE(WaitFor([&] { return fs::file_size(Dir / "korvel.ini") > 300; })); // written back at start
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
