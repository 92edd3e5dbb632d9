// The virtual chip's program in the s51 simulator, with programs of our own: the two examples, and a
// few instructions assembled here. They greet, answer what is typed, start again with new code, reach
// the AT89S8252's data EEPROM and each chip's second data pointer; s51 leaves no process behind;
// without s51 the target says how to install it. Every wait is for output or for simulated time, with
// deadlines generous enough for a busy machine.
#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "sim/child_process.h"
#include "sim/s51_target.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr auto Patience = 20s;

#define REQUIRE_S51()                                                                                                  \
    if (TChildProcess::FindOnPath("s51").empty())                                                                      \
    GTEST_SKIP() << "s51 (Debian package sdcc-ucsim) is not installed"

// An erased chip of the kind with an example's code.
TSimImage ExampleChip(TChipKind kind, const std::string &example)
{
    TMemoryBuffer memory;
    memory.FillBuffer(0xFF, static_cast<int>(kind));
    EXPECT_TRUE(LoadHexFile(memory, static_cast<int>(kind), KORVEL_SOURCE_DIR "/examples/" + example, true, {}).Ok);
    TSimImage chip = TSimImage::Erased(kind);
    std::copy_n(memory.Buffer.begin(), chip.Code.size(), chip.Code.begin());
    return chip;
}

TSimImage AssembledChip(TChipKind kind, const std::vector<std::uint8_t> &code)
{
    TSimImage chip = TSimImage::Erased(kind);
    std::copy(code.begin(), code.end(), chip.Code.begin());
    return chip;
}

// The UART at 9600 baud from timer 1, as the first instructions of an assembled program.
const std::vector<std::uint8_t> UartAt9600 = {
    0x75, 0x98, 0x50, // MOV SCON,#50h
    0x75, 0x89, 0x20, // MOV TMOD,#20h
    0x75, 0x8D, 0xFD, // MOV TH1,#0FDh
    0xD2, 0x8E,       // SETB TR1
};

std::vector<std::uint8_t> Program(std::vector<std::uint8_t> rest)
{
    std::vector<std::uint8_t> code = UartAt9600;
    code.insert(code.end(), rest.begin(), rest.end());
    return code;
}

// Everything the program sent until `text` came (or the patience ran out).
std::string ReadUntil(TS51Target &target, const std::string &text)
{
    std::string seen;
    const TClock::time_point deadline = TClock::now() + Patience;
    while (seen.find(text) == std::string::npos && TClock::now() < deadline) {
        target.WaitForOutput(100ms);
        seen += target.ReadQueued();
    }
    return seen;
}

bool Eventually(const std::function<bool()> &condition)
{
    const TClock::time_point deadline = TClock::now() + Patience;
    while (!condition() && TClock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return condition();
}

// The s51 processes whose parent is `parent`, found in /proc.
std::vector<pid_t> S51ChildrenOf(pid_t parent)
{
    std::vector<pid_t> found;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        if (!std::getline(file, stat) || stat.find("(s51)") == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            found.push_back(std::stoi(entry.path().filename().string()));
    }
    return found;
}

TEST(S51Target, GreetsAnswersAndStartsFromResetWithNewCode)
{
    REQUIRE_S51();
    TS51Target target;
    ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S8252, "echo/echo.ihx"))) << target.Problem();
    EXPECT_EQ(ReadUntil(target, "\n"), "Korvel echo ready\r\n");
    target.Write("hi 8051\r");
    EXPECT_EQ(ReadUntil(target, "\n"), "hi 8051\r\n");
    ASSERT_TRUE(Eventually([&] { return target.ProgramBaud().has_value(); }));
    EXPECT_NEAR(*target.ProgramBaud(), 9600.0, 0.5); // timer 1, TH1 = FDh

    // New code replaces the running program: its greeting, and nothing more of the old one.
    ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S52, "reverse/reverse.ihx"))) << target.Problem();
    EXPECT_EQ(ReadUntil(target, "\n"), "Korvel AT89S52 ready: lines come back reversed\r\n");
    target.Write("8052 up\r");
    EXPECT_EQ(ReadUntil(target, "2508\r\n"), "8052 up\r\npu 2508\r\n");
    ASSERT_TRUE(Eventually([&] { return target.ProgramBaud().has_value(); }));
    EXPECT_NEAR(*target.ProgramBaud(), 9600.0, 0.5); // timer 2, RCAP2 = FFDCh

    // Held in reset the chip neither runs nor listens; released, it starts over.
    target.Stop();
    EXPECT_FALSE(target.Running());
    EXPECT_EQ(target.Problem(), "");
    EXPECT_FALSE(target.ProgramBaud());
    target.Write("lost\r");
    ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S52, "reverse/reverse.ihx")));
    EXPECT_EQ(ReadUntil(target, "\n"), "Korvel AT89S52 ready: lines come back reversed\r\n");
    EXPECT_TRUE(target.Running());
}

TEST(S51Target, RunsTheAT89S51WithoutTimer2)
{
    REQUIRE_S51();
    TS51Target target;
    ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S51, "reverse/reverse.ihx")));
    ASSERT_TRUE(Eventually([&] { return target.SimulatedSeconds() > 0.2; }));
    EXPECT_EQ(target.ReadQueued(), "") << "the greeting takes 50 ms at 9600 baud";
    EXPECT_FALSE(target.ProgramBaud());
}

// DPL of data pointer 0 after data pointer 1 was loaded: 'A' where the control register's bit
// selects a second pointer, 'B' where both loads hit the same one.
TEST(S51Target, GivesEachChipItsSecondDataPointer)
{
    REQUIRE_S51();
    for (const TChipInfo &info : ChipTable) {
        const TCoreInfo &core = info.Core;
        const std::uint8_t reg = core.ControlRegister;
        const auto code = Program({
            0x90, 0x00, 0x41,                                         // MOV DPTR,#0041h
            0x43, reg, core.DpsMask,                                  // ORL control,#DPS
            0x90, 0x00, 0x42,                                         // MOV DPTR,#0042h
            0x53, reg, static_cast<std::uint8_t>(~core.DpsMask),      // ANL control,#~DPS
            0xE5, 0x82,                                               // MOV A,DPL
            0xF5, 0x99,                                               // MOV SBUF,A
            0x80, 0xFE,                                               // SJMP $
        });
        TS51Target target;
        ASSERT_TRUE(target.Start(AssembledChip(info.Kind, code)));
        EXPECT_EQ(ReadUntil(target, "A"), "A") << info.Name;
    }
}

TEST(S51Target, MapsTheAT89S8252DataEepromOverMovxWhileEemenIsSet)
{
    REQUIRE_S51();
    const auto code = Program({
        0x90, 0x00, 0x10, // 000B MOV DPTR,#0010h     data pointer 0
        0x74, 0x78,       // 000E MOV A,#'x'
        0xF0,             // 0010 MOVX @DPTR,A        external RAM, EEMEN clear
        0x43, 0x96, 0x04, // 0011 ORL WMCON,#04h      DPS: data pointer 1
        0x90, 0x00, 0x11, // 0014 MOV DPTR,#0011h
        0x53, 0x96, 0xFB, // 0017 ANL WMCON,#0FBh     data pointer 0
        0x43, 0x96, 0x08, // 001A ORL WMCON,#08h      EEMEN
        0xE0,             // 001D MOVX A,@DPTR        EEPROM 10h
        0x11, 0x33,       // 001E ACALL send
        0x43, 0x96, 0x14, // 0020 ORL WMCON,#14h      EEMWE, data pointer 1
        0x74, 0x5A,       // 0023 MOV A,#5Ah
        0xF0,             // 0025 MOVX @DPTR,A        EEPROM 11h
        0xE5, 0x96,       // 0026 MOV A,WMCON
        0x30, 0xE1, 0xFB, // 0028 JNB ACC.1,0026h     until RDY/BSY says ready
        0x53, 0x96, 0xE3, // 002B ANL WMCON,#0E3h     data pointer 0, external RAM
        0xE0,             // 002E MOVX A,@DPTR        external RAM 10h
        0x11, 0x33,       // 002F ACALL send
        0x80, 0xFE,       // 0031 SJMP $
        0xF5, 0x99,       // 0033 send: MOV SBUF,A
        0x30, 0x99, 0xFD, // 0035 JNB TI,$
        0xC2, 0x99,       // 0038 CLR TI
        0x22,             // 003A RET
    });
    TSimImage chip = AssembledChip(TChipKind::AT89S8252, code);
    chip.Data[0x10] = 'E';
    chip.Data[0x11] = '?';
    TS51Target target;
    ASSERT_TRUE(target.Start(chip));
    EXPECT_EQ(ReadUntil(target, "x"), "Ex");
    target.Stop();
    std::vector<std::uint8_t> expected = chip.Data;
    expected[0x11] = 0x5A;
    EXPECT_EQ(target.DataMemory(), expected);
}

// The virtual target runs its chip's program while the port is open and RESET released, stops it
// when RESET rises, and keeps in the chip the EEPROM bytes the program wrote, beside what was loaded
// into the chip meanwhile; an erased chip runs nothing.
TEST(VirtualUart, RunsWhileOpenAndReleasedAndKeepsWhatTheProgramWrote)
{
    REQUIRE_S51();
    const auto code = Program({
        0x43, 0x96, 0x18, // 000B ORL WMCON,#18h      EEMEN, EEMWE
        0x90, 0x00, 0x11, // 000E MOV DPTR,#0011h
        0x74, 0x5A,       // 0011 MOV A,#5Ah
        0xF0,             // 0013 MOVX @DPTR,A        EEPROM 11h
        0x53, 0x96, 0xE7, // 0014 ANL WMCON,#0E7h
        0x74, 0x44,       // 0017 MOV A,#'D'
        0xF5, 0x99,       // 0019 MOV SBUF,A
        0x80, 0xFE,       // 001B SJMP $
    });
    TSettings settings; // RESET on DTR, which a port opens cleared: released
    TVirtualTarget target(settings);
    TVirtualChip &chip = target.Chip();
    chip.SetContents(AssembledChip(TChipKind::AT89S8252, code));
    TVirtualUart &uart = target.Uart();
    TS51Target &s51 = uart.Target();
    EXPECT_FALSE(s51.Running()) << "nothing runs before the port opens";
    uart.PortOpened(true);
    EXPECT_EQ(ReadUntil(s51, "D"), "D");

    TSimImage loaded = chip.Contents();
    loaded.Data[0x20] = 0x33;
    chip.SetContents(loaded);
    target.Lines().SetDtr(true);
    EXPECT_FALSE(s51.Running());
    EXPECT_EQ(chip.Contents().Data[0x11], 0x5A);
    EXPECT_EQ(chip.Contents().Data[0x20], 0x33);

    target.Lines().SetDtr(false);
    EXPECT_EQ(ReadUntil(s51, "D"), "D") << "released again, it starts over";
    uart.PortOpened(false);
    EXPECT_FALSE(s51.Running());

    chip.SetContents(TSimImage::Erased(TChipKind::AT89S8252));
    uart.PortOpened(true);
    EXPECT_FALSE(s51.Running());
    EXPECT_EQ(uart.Problem(), "");
}

TEST(S51Target, RefusesToStartSayingWhy)
{
    TS51Target target;
    const TSimImage chip = ExampleChip(TChipKind::AT89S8252, "echo/echo.ihx");
    EXPECT_FALSE(target.Start(chip, 0.0));
    EXPECT_EQ(target.Problem(), "The crystal frequency must be a positive number of hertz.");

    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::filesystem::path empty = std::filesystem::temp_directory_path() / "korvel-no-s51";
    std::filesystem::create_directories(empty);
    ::setenv("PATH", empty.c_str(), 1);
    const bool started = target.Start(chip);
    ::setenv("PATH", path.c_str(), 1);
    std::filesystem::remove_all(empty);
    EXPECT_FALSE(started);
    EXPECT_EQ(target.Problem(), S51MissingText);
    EXPECT_NE(target.Problem().find("sdcc-ucsim"), std::string::npos);
    EXPECT_FALSE(target.Running());
    target.Write("hello\r");
    EXPECT_FALSE(target.WaitForOutput(10ms));
    EXPECT_EQ(target.SimulatedSeconds(), 0.0);
}

TEST(S51Target, LeavesNoProcessBehind)
{
    REQUIRE_S51();
    // The owner gone at once, before s51 has even greeted.
    {
        TS51Target target;
        ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S8252, "echo/echo.ihx")));
    }
    EXPECT_EQ(S51ChildrenOf(::getpid()), std::vector<pid_t>{});

    // s51 killed from outside: the target says so and runs no more.
    TS51Target target;
    ASSERT_TRUE(target.Start(ExampleChip(TChipKind::AT89S8252, "echo/echo.ihx")));
    ASSERT_EQ(ReadUntil(target, "\n"), "Korvel echo ready\r\n");
    const std::vector<pid_t> s51 = S51ChildrenOf(::getpid());
    ASSERT_EQ(s51.size(), 1u);
    ::kill(s51[0], SIGKILL);
    ASSERT_TRUE(Eventually([&] { return !target.Running(); }));
    EXPECT_EQ(target.Problem().rfind("s51 ended unexpectedly (killed by signal 9)", 0), 0u) << target.Problem();
    EXPECT_EQ(S51ChildrenOf(::getpid()), std::vector<pid_t>{});
}

// A process that dies without cleaning up takes its s51 along: the kernel kills it.
TEST(S51Target, DiesWithItsOwnerProcess)
{
    REQUIRE_S51();
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the orphaned s51 comes to us to be reaped
    // The owner leaves its program's folder behind; it goes to a folder of the test's own.
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "korvel-s51-owner-test";
    std::filesystem::create_directories(scratch);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t owner = ::fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        ::setenv("TMPDIR", scratch.c_str(), 1);
        auto *target = new TS51Target; // never destroyed
        target->Start(ExampleChip(TChipKind::AT89S8252, "echo/echo.ihx"));
        ReadUntil(*target, "\n");
        const std::vector<pid_t> s51 = S51ChildrenOf(::getpid());
        const pid_t pid = s51.empty() ? 0 : s51[0];
        [[maybe_unused]] const ssize_t n = ::write(report[1], &pid, sizeof pid);
        ::_exit(0);
    }
    ::close(report[1]);
    pid_t s51 = 0;
    ASSERT_EQ(::read(report[0], &s51, sizeof s51), static_cast<ssize_t>(sizeof s51));
    ::close(report[0]);
    ASSERT_GT(s51, 0);
    ASSERT_EQ(::waitpid(owner, nullptr, 0), owner);
    int status = 0;
    bool reaped = false;
    ASSERT_TRUE(Eventually([&] { return reaped = reaped || ::waitpid(s51, &status, WNOHANG) == s51; }));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    std::filesystem::remove_all(scratch);
}

} // namespace
