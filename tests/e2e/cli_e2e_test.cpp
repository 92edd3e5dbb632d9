// korvel-cli end to end on the virtual chip, checked with tools nobody here wrote: sdcc builds the
// firmware, srec_cat converts it independently, sigrok-cli decodes the recorded line trace.
#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "shared_fixture.h"
#include "sim/child_process.h"
#include "sim/sim_image.h"

#include "shell_run.h"
#include "spawned_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadBytes(const fs::path &path)
{
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

class CliTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() / ("korvel-cli-e2e-" + std::to_string(::getpid()) + "-" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        // Short reset delays: the virtual chip needs none, and the default fifth of a second, several
        // times a run, would be most of these tests' time.
        std::ofstream(Dir / "korvel.ini") << "[Delays]\nResetDelay1=1\nResetDelay2=1\n";
    }
    void TearDown() override { fs::remove_all(Dir); }

    // korvel-cli on the virtual chip kept in Dir/chip.sim, with the default write delay: the virtual
    // chip times its writes like a real one.
    TRun Cli(const std::string &args, const std::string &port = "")
    {
        const std::string portOption = port.empty() ? "sim:" + (Dir / "chip.sim").string() : port;
        return Shell(std::string(KORVEL_BINARY_DIR) + "/src/app/korvel-cli --settings " + (Dir / "korvel.ini").string() +
                         " --port " + portOption + " " + args,
                     Dir);
    }

    // korvel-cli started beside the test, with its streams in Dir/out.txt and Dir/err.txt (and its
    // standard input a pipe, with `input`).
    std::unique_ptr<TProcess> StartCli(const std::string &port, const std::vector<std::string> &args,
                                       const std::vector<std::string> &env = {}, bool input = false)
    {
        std::vector<std::string> argv{std::string(KORVEL_BINARY_DIR) + "/src/app/korvel-cli", "--settings",
                                      (Dir / "korvel.ini").string(), "--port", port};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<TProcess>(argv, env, Dir / "err.txt", Dir / "out.txt", input);
    }

    // srec_cat's own binary of an Intel-HEX file over the chip's 8 KiB: holes up to the file's last
    // byte hold 00 (the buffer's start value, written by the programmer), the rest FF (erased).
    std::vector<std::uint8_t> SrecImage(const fs::path &hex, int highest)
    {
        const fs::path bin = Dir / "srec.bin";
        const TRun run = Shell("srec_cat " + hex.string() + " -intel -fill 0x00 0 " + std::to_string(highest + 1) +
                                   " -fill 0xFF 0 0x2000 -o " + bin.string() + " -binary",
                               Dir);
        EXPECT_EQ(run.Code, 0) << run.Err;
        return ReadBytes(bin);
    }

    // Programs a firmware, reads it back both ways, verifies, then breaks one byte of the chip.
    void ProgramReadVerify(const fs::path &hex, const std::vector<std::uint8_t> &expected, const std::string &device = "")
    {
        const auto Cli = [this, &device](const std::string &args) { return this->Cli(device + args); };
        TRun run = Cli("write-code " + hex.string());
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find("Write code memory: done in"), std::string::npos) << run.Out;

        ASSERT_EQ(Cli("read-code " + (Dir / "back.bin").string()).Code, 0);
        ASSERT_EQ(Cli("read-code " + (Dir / "back.hex").string()).Code, 0);
        EXPECT_EQ(ReadBytes(Dir / "back.bin"), expected);
        run = Shell("srec_cat " + (Dir / "back.hex").string() + " -intel -o " + (Dir / "back2.bin").string() + " -binary", Dir);
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(ReadBytes(Dir / "back2.bin"), expected) << "our Intel-HEX output, as srec_cat reads it";

        run = Cli("verify-code " + hex.string());
        EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
        EXPECT_NE(run.Out.find("Verify ok !"), std::string::npos);

        TSimImage image = TSimImage::Load((Dir / "chip.sim").string());
        const std::uint8_t was = image.Code[0x10];
        image.Code[0x10] = static_cast<std::uint8_t>(was ^ 0x5A);
        image.Save((Dir / "chip.sim").string());
        run = Cli("verify-code " + hex.string());
        EXPECT_EQ(run.Code, 2) << run.Out << run.Err;
        char line[64];
        std::snprintf(line, sizeof line, "Byte $0010 Buffer: $%02X Device: $%02X\n", was, was ^ 0x5A);
        EXPECT_NE(run.Out.find(line), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("Found differences during Verify !"), std::string::npos);
    }

    fs::path Dir;
};

fs::path BuildEchoFirmware(const fs::path &dir)
{
    const std::string source = std::string(KORVEL_SOURCE_DIR) + "/examples/echo/echo.c";
    const TRun run = Shell("sdcc -mmcs51 --code-size 8192 -o " + dir.string() + "/ " + source, dir);
    EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
    return dir / "echo.ihx";
}

TEST_F(CliTest, SdccFirmwareLoadsAsSrecCatConvertsIt)
{
    const fs::path hex = BuildEchoFirmware(Dir);
    TMemoryBuffer memory;
    ASSERT_TRUE(LoadHexFile(memory, 0, hex.string(), true, {}).Ok);
    const TRun run = Shell("srec_cat " + hex.string() + " -intel -fill 0x00 0 0x2000 -o " + (Dir / "s.bin").string() +
                               " -binary",
                           Dir);
    ASSERT_EQ(run.Code, 0) << run.Err;
    const auto expected = ReadBytes(Dir / "s.bin");
    ASSERT_EQ(expected.size(), 8192u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), memory.Buffer.begin()));
    EXPECT_GT(memory.HighestAddress, 16);
}

TEST_F(CliTest, EchoFirmwareRoundTrip)
{
    const fs::path hex = BuildEchoFirmware(Dir);
    TMemoryBuffer memory;
    LoadHexFile(memory, 0, hex.string(), true, {});
    ProgramReadVerify(hex, SrecImage(hex, memory.HighestAddress));
}

TEST_F(CliTest, ThirdPartyBasic52RoundTrip)
{
    const fs::path folder = SharedFixtureFolder("basic52");
    if (!fs::is_directory(folder))
        GTEST_SKIP() << MissingFixtureMessage(folder);
    const fs::path hex = folder / "basic52_v11.ihx";
    TMemoryBuffer memory;
    LoadHexFile(memory, 0, hex.string(), true, {});
    // The interpreter was written for the 8052, whose flash successor is the AT89S52.
    ProgramReadVerify(hex, SrecImage(hex, memory.HighestAddress), "--device 52 ");
}

TEST_F(CliTest, ExitCodes)
{
    EXPECT_EQ(Cli("detect").Code, 0);
    TRun run = Cli("detect", "sim-empty");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("Found no device on this serial port !"), std::string::npos) << run.Err;
    EXPECT_EQ(Cli("write-code " + (Dir / "absent.hex").string()).Code, 3);
    EXPECT_EQ(Cli("frobnicate").Code, 3);
    EXPECT_EQ(Cli("lock 4").Code, 3);
    // A usage error is one line, and the next points to the help instead of repeating it.
    for (const char *mistake : {"-V", "--preset bogus detect", "--write-delay abc detect"}) {
        run = Cli(mistake);
        EXPECT_EQ(std::make_pair(run.Code, run.Err.substr(run.Err.find('\n'))),
                  std::make_pair(3, std::string("\nTry 'korvel-cli --help' for more information.\n")));
    }
    run = Cli("detect", "/dev/korvel-no-such-port");
    EXPECT_EQ(run.Code, 4);
    EXPECT_NE(run.Err.find("/dev/korvel-no-such-port"), std::string::npos) << run.Err;
    EXPECT_EQ(Cli("--device 53 detect").Code, 3) << "the image holds an AT89S8252";
    ASSERT_EQ(Cli("lock 1").Code, 0);
    run = Cli("detect");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("Lock Bit 1"), std::string::npos) << "a locked chip looks missing: " << run.Err;
    EXPECT_EQ(Cli("erase").Code + Cli("detect").Code, 0) << "as the line says, erase helps";
}

TEST_F(CliTest, LinesTogglesEachOutputInTurn)
{
    const TRun run = Cli("--quiet lines");
    ASSERT_EQ(run.Code, 0) << run.Err;
    std::istringstream lines(run.Out);
    std::vector<std::string> outputs;
    for (std::string line; std::getline(lines, line);)
        outputs.push_back(line.substr(0, line.find(':')));
    // Named with their functions in the default wiring.
    EXPECT_EQ(outputs, (std::vector<std::string>{"TXD on  (SCL)", "TXD off (SCL)", "RTS on  (MOSI)", "RTS off (MOSI)",
                                                 "DTR on  (RESET)", "DTR off (RESET)"}));
    EXPECT_NE(run.Out.find("CTS (MISO)="), std::string::npos) << run.Out;
}

// Quiet runs say nothing when all went well, but still say what went wrong.
TEST_F(CliTest, QuietPrintsNoResultLineOnSuccess)
{
    std::ofstream(Dir / "two.bin", std::ios::binary) << "\x12\x34";
    const std::string file = (Dir / "two.bin").string();
    for (const std::string &command : {std::string("detect"), "write-code " + file, "verify-code " + file}) {
        const TRun run = Cli("--quiet " + command);
        EXPECT_EQ(run.Code, 0) << command << ": " << run.Err;
        EXPECT_EQ(run.Out + run.Err, "") << command;
    }
    std::ofstream(Dir / "two.bin", std::ios::binary) << "\x12\x35";
    TRun run = Cli("--quiet verify-code " + file);
    EXPECT_EQ(run.Code, 2);
    EXPECT_NE(run.Out.find("Byte $0001 Buffer: $35 Device: $34\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("Found differences during Verify !"), std::string::npos) << run.Out;
    run = Cli("--quiet detect", "sim-empty");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("Found no device on this serial port !"), std::string::npos) << run.Err;
}

// The AT89S53 has no data memory: its instruction set reads the data commands as code accesses
// above 8 KiB, so they are refused, as the GUI offers them for the AT89S8252 only.
TEST_F(CliTest, DataMemoryCommandsNeedAnAT89S8252)
{
    std::ofstream(Dir / "data.bin", std::ios::binary) << "\x12\x34";
    ASSERT_EQ(Cli("--device 53 erase").Code, 0);
    const auto before = ReadBytes(Dir / "chip.sim");
    TRun run = Cli("--device 53 write-data " + (Dir / "data.bin").string());
    EXPECT_EQ(run.Code, 3);
    EXPECT_NE(run.Err.find("AT89S8252"), std::string::npos) << run.Err;
    EXPECT_TRUE(ReadBytes(Dir / "chip.sim") == before) << "the code memory must stay erased";
    run = Cli("--device 53 read-data " + (Dir / "read.bin").string());
    EXPECT_EQ(run.Code, 3);
    EXPECT_NE(run.Err.find("AT89S8252"), std::string::npos) << run.Err;
    EXPECT_FALSE(fs::exists(Dir / "read.bin"));
    EXPECT_EQ(Cli("--device 53 verify-data " + (Dir / "data.bin").string()).Code, 2) << "verify only reads";
}

// What cannot be kept in its file is reported, not passed over as success.
TEST_F(CliTest, UnwritableImageOrTraceIsAFileError)
{
    std::ofstream(Dir / "plain.txt") << "not a folder";
    for (const std::string &command : {std::string("detect"), "write-code " + (Dir / "plain.txt").string()}) {
        const TRun run = Cli(command, "sim:" + (Dir / "plain.txt/chip.sim").string());
        EXPECT_EQ(run.Code, 3) << command;
        EXPECT_EQ(run.Err, "korvel-cli: Virtual chip image " + (Dir / "plain.txt/chip.sim").string() + ": Not a directory\n");
        EXPECT_EQ(run.Out, "") << "said before any result";
    }
    TRun run = Cli("--trace " + (Dir / "plain.txt/t.vcd").string() + " detect");
    EXPECT_EQ(run.Code, 3);
    EXPECT_NE(run.Err.find("t.vcd"), std::string::npos) << run.Err;
}

// A file the chip would not hold as it is never reaches it unattended: one that is no Intel-HEX, a
// damaged one (a wrong checksum, data after the end record), an empty one, or one larger than the
// memory (the load rule's cases are its own test). The run ends with exit 3 and says why, and the chip
// keeps what it held. --lenient takes what can be read, skipping a damaged line whole, and writes what
// fits. (Which damage is named how is the reader's own test.)
TEST_F(CliTest, FilesTheChipWouldNotHoldAreRefusedUnlessLenient)
{
    std::ofstream(Dir / "fw.bin", std::ios::binary) << "\x02\x01\x30"; // the reset vector's jump
    ASSERT_EQ(Cli("write-code " + (Dir / "fw.bin").string()).Code, 0);
    const auto chip = ReadBytes(Dir / "chip.sim");
    const std::string refused = "\nkorvel-cli: the file is refused, the chip is left as it is (--lenient uses what "
                                "can be read of it)\n";
    const std::string sound = ":03000000020130CA\n", end = ":00000001FF\n", byte3 = ":0100030055A7\n";
    const struct {
        std::string Command, Name, Content, Said;
    } cases[] = {
        {"write-code ", "text.hex", "hello, world\n", " is not an Intel-HEX file: it holds no data record\n"},
        {"write-code ", "sum.hex", ":03000000020131CA\n" + byte3 + end, ": line 1 is damaged (wrong checksum)" + refused},
        {"verify-code ", "sum.hex", ":03000000020131CA\n" + byte3 + end, ": line 1 is damaged (wrong checksum)" + refused},
        {"write-code ", "after.hex", sound + end + byte3, ": line 3 is damaged (after the end-of-file record)" + refused},
        {"write-code ", "empty.bin", "", " is empty: there is nothing to write\n"},
        {"write-data ", "long.bin", std::string(3000, '\x11'), " holds 952 bytes beyond the 2048 bytes of data memory" + refused},
    };
    for (const auto &c : cases) {
        const std::string file = (Dir / c.Name).string();
        std::ofstream(file, std::ios::binary) << c.Content;
        const TRun run = Cli(c.Command + file);
        EXPECT_EQ(run.Code, 3) << c.Command << c.Name;
        EXPECT_EQ(run.Err, "korvel-cli: " + file + c.Said) << c.Command;
        EXPECT_EQ(ReadBytes(Dir / "chip.sim"), chip) << c.Command << c.Name;
    }

    const std::string sum = (Dir / "sum.hex").string();
    TRun run = Cli("--lenient write-code " + sum);
    EXPECT_EQ(run.Code, 0) << run.Err;
    // Progress lines may follow; nothing else may.
    const std::string warning = "korvel-cli: warning: " + sum + ": line 1 is damaged (wrong checksum)\n";
    EXPECT_EQ(run.Err.substr(0, warning.size()), warning);
    EXPECT_EQ(run.Err.find("korvel-cli:", 1), std::string::npos) << run.Err;
    const std::vector<std::uint8_t> code = TSimImage::Load((Dir / "chip.sim").string()).Code;
    EXPECT_EQ(std::vector<std::uint8_t>(code.begin(), code.begin() + 4), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x55}))
        << "the damaged line is skipped whole (its bytes are a hole, written as the buffer's 00), the sound one written";

    // The data memory ends at $07FF: the rest is neither wrapped onto its start nor compared there.
    const std::string data = (Dir / "long.bin").string();
    run = Cli("--lenient write-data " + data);
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    EXPECT_NE(run.Out.find("; 952 bytes beyond $07FF not written\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("Verify ok !"), std::string::npos) << run.Out;
    EXPECT_TRUE(TSimImage::Load((Dir / "chip.sim").string()).Data == std::vector<std::uint8_t>(2048, 0x11));
}

// A hand-edited settings file that names no chip, or leaves MISO without an input, stops the run
// before anything is sent (no trace is even started); delays beyond the Parameter dialog's ranges are
// taken as it takes them, and said.
TEST_F(CliTest, SettingsNoOperationCanRunWithAreRefusedBeforeAnythingIsSent)
{
    TSimImage::Erased(TChipKind::AT89S8252).Save((Dir / "chip.sim").string());
    const auto chip = ReadBytes(Dir / "chip.sim");
    const std::string trace = (Dir / "t.vcd").string();
    const std::pair<std::string, std::string> cases[] = {
        {"[General]\nDevice=99\n", "korvel-cli: Device=99 in [General] of the settings file names no chip"},
        {"[SerialPort]\nMiso_Line=-1\n", "korvel-cli: Miso_Line=-1 in [SerialPort] of the settings file puts MISO on no "
                                          "input line"},
    };
    for (const auto &[settings, said] : cases) {
        std::ofstream(Dir / "korvel.ini") << settings;
        const TRun run = Cli("--trace " + trace + " detect");
        EXPECT_EQ(run.Code, 3) << settings;
        EXPECT_EQ(run.Err.rfind(said, 0), 0u) << run.Err;
        EXPECT_FALSE(fs::exists(trace)) << settings;
        EXPECT_EQ(ReadBytes(Dir / "chip.sim"), chip) << settings;
    }
    std::ofstream(Dir / "korvel.ini") << "[Delays]\nResetDelay1=1\nResetDelay2=0.001\nClockDelay=-5\n";
    const TRun run = Cli("--quiet detect");
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Err, "korvel-cli: note: ResetDelay2=0.001 in [Delays] lies beyond the Parameter dialog's 1 to 999 ms: "
                       "1 ms is used\nkorvel-cli: note: ClockDelay=-5 in [Delays] lies beyond the Parameter dialog's 0 "
                       "to 999 ms: 0 ms is used\n");
}

// A port that cannot serve ends with exit 4 and its reason, not as a missing chip: a virtual chip's
// image another run holds, as a port another program holds, and a pseudo-terminal, which refuses
// RTS and DTR. A reader of the output that goes away does not change the exit code either.
TEST_F(CliTest, PortsThatCannotServeAndReadersThatGoAway)
{
    const std::string image = "sim:" + (Dir / "chip.sim").string();
    auto first = StartCli(image, {"lines"});
    ASSERT_TRUE(WaitUntil([&] { return ReadText(Dir / "out.txt").find("TXD on") != std::string::npos; }));
    TRun run = Cli("detect", image);
    EXPECT_EQ(run.Code, 4);
    EXPECT_EQ(run.Err, "korvel-cli: Virtual chip image " + (Dir / "chip.sim").string() +
                           " is in use by another run of korvel or korvel-cli\n");
    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(std::chrono::seconds(10)), 5);
    EXPECT_EQ(Cli("--quiet detect", image).Code, 0) << "free again";

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    run = Cli("detect", ::ptsname(master));
    EXPECT_EQ(run.Code, 4);
    EXPECT_NE(run.Err.find("RTS cannot be set"), std::string::npos) << run.Err;
    ::close(master);

    // 8192 difference lines: the output goes on after the reader has gone.
    std::ofstream(Dir / "fw.bin", std::ios::binary) << std::string(8192, '\x5A');
    ASSERT_EQ(Cli("erase").Code, 0);
    run = Shell("{ " + std::string(KORVEL_BINARY_DIR) + "/src/app/korvel-cli --settings " + (Dir / "korvel.ini").string() +
                    " --port " + image + " verify-code " + (Dir / "fw.bin").string() + " 2>/dev/null; echo $? >" +
                    (Dir / "code.txt").string() + "; } | head -c1",
                Dir);
    EXPECT_EQ(ReadText(Dir / "code.txt"), "2\n");
}

// The last level of rst, sck and mosi in a line trace, e.g. "rst=0 sck=1 mosi=1".
std::string LastLevels(const fs::path &vcd)
{
    std::map<char, char> last{{'r', '?'}, {'c', '?'}, {'o', '?'}};
    std::istringstream lines(ReadText(vcd));
    for (std::string line; std::getline(lines, line);)
        if (line.size() == 2 && last.count(line[1]))
            last[line[1]] = line[0];
    return std::string("rst=") + last['r'] + " sck=" + last['c'] + " mosi=" + last['o'];
}

// The first signal stops a run between two instructions: the lines go to rest, the port closes as at
// a normal end (the virtual chip's image is kept), the run says how far it got and exits 5. The
// signal comes once the run shows it is under way: a progress line, or the first line toggled.
TEST_F(CliTest, ASignalStopsTheRunBetweenTwoInstructionsAndSaysHowFarItGot)
{
    // Six seconds of writes; a write delay above 20 ms is waited on the host by the ftdi port too.
    std::string bytes(256, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + 1);
    const std::string file = (Dir / "fw.bin").string(), image = (Dir / "chip.sim").string();
    std::ofstream(file, std::ios::binary) << bytes;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string pty = ::ptsname(master);
    const std::regex byteWritten("(^|\n)[1-9][0-9]* %\n");
    const std::function<bool()> writing = [&] { return std::regex_search(ReadText(Dir / "err.txt"), byteWritten); };
    const struct {
        std::string Port, Command;
        std::function<bool()> UnderWay;
        std::string Said; // all of stderr after the progress lines; a write says where it said
    } cases[] = {
        {"sim:" + image, "write-code", writing, "korvel-cli: Stopped at $"},
        {"sim-ftdi:" + image, "write-code", writing, "korvel-cli: Stopped at $"},
        {pty, "erase", [&] { return ReadText(Dir / "err.txt").find("0 %\n") != std::string::npos; },
         "korvel-cli: Stopped during the erase: the chip may be partly erased (erase it again)\n"},
        {pty, "lines", [&] { return ReadText(Dir / "out.txt").find("TXD on") != std::string::npos; },
         "korvel-cli: Stopped: the lines are at rest\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Port + " " + c.Command);
        const bool write = c.Command == "write-code";
        if (write)
            TSimImage::Erased(TChipKind::AT89S8252).Save(image);
        const fs::path vcd = Dir / "stop.vcd";
        std::vector<std::string> args{"--trace", vcd.string(), "--write-delay", "25", c.Command};
        if (write)
            args.push_back(file);
        auto run = StartCli(c.Port, args);
        ASSERT_TRUE(WaitUntil(c.UnderWay));
        run->Signal(SIGINT);
        EXPECT_EQ(run->Wait(std::chrono::seconds(10)), 5);
        const std::string err = ReadText(Dir / "err.txt");
        const std::string said = err.substr(std::min(err.find("korvel-cli: "), err.size()));
        EXPECT_EQ(said.substr(0, write ? c.Said.size() : std::string::npos), c.Said);
        EXPECT_EQ(LastLevels(vcd), "rst=0 sck=1 mosi=1");
        if (!write)
            continue;
        unsigned at = 0;
        ASSERT_EQ(std::sscanf(said.c_str(), "korvel-cli: Stopped at $%4X of $00FF: the chip holds a partly", &at), 1)
            << said;
        const std::vector<std::uint8_t> code = TSimImage::Load(image).Code;
        EXPECT_EQ(std::string(code.begin(), code.begin() + at + 8), bytes.substr(0, at) + std::string(8, '\xFF'))
            << "written up to $" << at << ", not beyond";
    }
    ::close(master);
}

// A run that does not stop at once is ended by a second signal, here in the middle of a write
// delay of ten seconds.
TEST_F(CliTest, ASecondSignalEndsTheRunAtOnce)
{
    std::ofstream(Dir / "fw.bin", std::ios::binary) << "\x12\x34";
    auto run = StartCli("sim:" + (Dir / "chip.sim").string(), {"--write-delay", "10000", "write-code", (Dir / "fw.bin").string()});
    ASSERT_TRUE(WaitUntil([&] { return ReadText(Dir / "err.txt").find("0 %\n") != std::string::npos; }));
    run->Signal(SIGINT);
    run->Signal(SIGTERM);
    const std::optional<int> status = run->Wait(std::chrono::seconds(5));
    EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status.value_or(-1);
}

TEST_F(CliTest, LockBitOneBlocksWritesUntilErase)
{
    std::ofstream(Dir / "one.bin", std::ios::binary) << "\x12\x34";
    ASSERT_EQ(Cli("lock 1").Code, 0);
    EXPECT_EQ(Cli("write-code " + (Dir / "one.bin").string()).Code, 1) << "address 0 can no longer be written";
    ASSERT_EQ(Cli("erase").Code, 0);
    ASSERT_EQ(Cli("write-code " + (Dir / "one.bin").string()).Code, 0);
    EXPECT_EQ(Cli("verify-code " + (Dir / "one.bin").string()).Code, 0);
}

std::vector<std::string> DecodeTrace(const fs::path &vcd, const fs::path &dir)
{
    const TRun run = Shell("sigrok-cli -i " + vcd.string() +
                               " -P spi:clk=sck:mosi=mosi:miso=miso:cs=rst:cs_polarity=active-high -A spi=mosi-data",
                           dir);
    EXPECT_EQ(run.Code, 0) << run.Err;
    std::vector<std::string> bytes;
    std::istringstream lines(run.Out);
    for (std::string tag, byte; lines >> tag >> byte;)
        bytes.push_back(byte);
    return bytes;
}

std::vector<std::string> Hex(std::initializer_list<int> bytes)
{
    std::vector<std::string> text;
    for (int b : bytes) {
        char s[3];
        std::snprintf(s, sizeof s, "%02X", b);
        text.emplace_back(s);
    }
    return text;
}

TEST_F(CliTest, TraceOfAShortWriteDecodesToTheInstructionStream)
{
    std::ofstream(Dir / "four.bin", std::ios::binary) << "\x12\x34\x56\x78";
    const fs::path vcd = Dir / "write.vcd";
    ASSERT_EQ(Cli("--no-verify --trace " + vcd.string() + " write-code " + (Dir / "four.bin").string()).Code, 0);
    // Enable, the presence test on an erased chip (byte 0 read twice, and all 1 bits, so bytes 1 to 7
    // and the last read too; 00 and FF written and read, the byte found written back and read), then
    // the four writes.
    EXPECT_EQ(DecodeTrace(vcd, Dir), Hex({0xAC, 0x53, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00,
                                          0x01, 0x02, 0x00, 0x01, 0x03, 0x00, 0x01, 0x04, 0x00, 0x01, 0x05, 0x00,
                                          0x01, 0x06, 0x00, 0x01, 0x07, 0x00, 0xF9, 0xFF, 0x00, 0x02, 0x00, 0x00,
                                          0x01, 0x00, 0x00, 0x02, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x02, 0x00, 0xFF,
                                          0x01, 0x00, 0x00, 0x02, 0x00, 0x12, 0x02, 0x01, 0x34, 0x02, 0x02, 0x56,
                                          0x02, 0x03, 0x78}));
}

// A fast write asks the chip what it holds over the file's extent and sends only what differs:
// after an erase that is every byte, after a write of the same file nothing.
TEST_F(CliTest, FastWriteSendsWhatDiffersFromTheChip)
{
    const std::string four = (Dir / "four.bin").string(), vcd = (Dir / "fast.vcd").string();
    std::ofstream(four, std::ios::binary) << "\x12\x34\x56\x78";
    ASSERT_EQ(Cli("write-code " + four).Code, 0);
    ASSERT_EQ(Cli("erase").Code, 0);
    ASSERT_EQ(Cli("--no-verify write-code-fast " + four).Code, 0);
    EXPECT_EQ(Cli("verify-code " + four).Code, 0) << "the erased chip must be written again";

    std::ofstream(four, std::ios::binary) << "\x12\x34\x57\x78";
    ASSERT_EQ(Cli("--no-verify --trace " + vcd + " write-code-fast " + four).Code, 0);
    // Enable, presence test, four reads; enable, presence test, the one byte that differs.
    const auto bytes = DecodeTrace(vcd, Dir);
    ASSERT_EQ(bytes.size(), 3u * (9 + 4 + 9 + 1));
    EXPECT_EQ(std::vector<std::string>(bytes.end() - 3, bytes.end()), Hex({0x02, 0x02, 0x57}));
    EXPECT_EQ(Cli("verify-code " + four).Code, 0);
    EXPECT_FALSE(fs::exists(Dir / "korvel.ini.last")) << "no image is kept between runs";
}

// A chip whose writes are lost (a write delay shorter than its write cycle) fails every write
// command with the differences, unless the user asks for no verify.
TEST_F(CliTest, WritesVerifyWhatTheyWrote)
{
    const std::string file = (Dir / "data.bin").string();
    std::ofstream(file, std::ios::binary) << "\x12\x34\x56\x78\x9A\xBC\xDE\x01";
    for (const char *command : {"write-code ", "write-code-fast ", "write-data "}) {
        ASSERT_EQ(Cli("erase").Code, 0);
        const TRun run = Cli(std::string("--write-delay 0 ") + command + file);
        EXPECT_EQ(run.Code, 2) << command << run.Out << run.Err;
        EXPECT_NE(run.Out.find(" Buffer: $"), std::string::npos) << command << run.Out;
        EXPECT_NE(run.Out.find("Found differences during Verify !"), std::string::npos) << command << run.Out;
    }
    const TRun run = Cli("--no-verify --write-delay 0 write-code " + file);
    EXPECT_EQ(run.Code, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out.find("Verify"), std::string::npos) << run.Out;
}

// The virtual chip behind a simulated FTDI cable ends every command as the serial back end does,
// down to the bytes of the chip's image; a cable that cannot be opened ends with exit 4.
TEST_F(CliTest, AnFtdiCableRunsEveryCommandLikeTheSerialPort)
{
    const std::string file = (Dir / "data.bin").string();
    std::ofstream(file, std::ios::binary) << "\x12\x34\x56\x78\x9A\xBC\xDE\x01";
    const fs::path serial = Dir / "serial.sim", cable = Dir / "cable.sim";
    const std::vector<std::string> commands = {"write-code " + file, "write-data " + file, "read-code", "read-data",
                                               "lock 1", "write-code " + file, "erase", "verify-code " + file,
                                               "reset"};
    for (const std::string &command : commands) {
        const bool read = command.rfind("read-", 0) == 0;
        const TRun a = Cli(command + (read ? " " + (Dir / "serial.hex").string() : ""), "sim:" + serial.string());
        const TRun b = Cli(command + (read ? " " + (Dir / "cable.hex").string() : ""), "sim-ftdi:" + cable.string());
        EXPECT_EQ(a.Code, b.Code) << command << "\n" << a.Out << b.Out << b.Err;
        EXPECT_EQ(ReadBytes(serial), ReadBytes(cable)) << command;
        if (read) {
            EXPECT_EQ(ReadText(Dir / "serial.hex"), ReadText(Dir / "cable.hex")) << command;
        }
    }

    TRun run = Cli("detect", "ftdi:s:0x0403:0x6001:KORVEL-NONE");
    EXPECT_EQ(run.Code, 4);
    EXPECT_NE(run.Err.find("cannot open FTDI device ftdi:s:0x0403:0x6001:KORVEL-NONE: no FTDI device matches"),
              std::string::npos)
        << run.Err;
    run = Cli("list-ftdi");
    if (run.Code == 0)
        EXPECT_EQ(run.Out.rfind("ftdi:", 0), 0u) << run.Out;
    else
        EXPECT_EQ(run.Err, "korvel-cli: no FTDI device found\n");
}

// A simulated PL2303 cable shows input changes 3 ms late: detect and lines name the driver, the
// settle and the time of a whole write; lines measures a settle from the code the chip holds and says
// whether the one in use is enough; an operation of minutes is announced with its length; without
// the settle no chip is found.
TEST_F(CliTest, ALateCableIsNamedMeasuredAndReadAfterTheSettle)
{
    const std::string file = (Dir / "fw.bin").string();
    std::ofstream(file, std::ios::binary) << "\x02\x01\x30\x75\x81\x07\x12\x34";
    const std::string cable = "sim-pl2303:" + (Dir / "chip.sim").string();
    TRun run = Cli("write-code " + file, cable);
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    EXPECT_NE(run.Out.find("Verify ok !"), std::string::npos) << run.Out;

    run = Cli("detect", cable);
    EXPECT_EQ(run.Code, 0) << run.Err;
    for (const char *said : {"Port sim-pl2303: pl2303, USB 067b:2303\n",
                             "Inputs settle 5 ms after each output change before they are read (pl2303 reports",
                             "Found a device on this serial port", "An 8 KiB write takes about "})
        EXPECT_NE(run.Out.find(said), std::string::npos) << said << "\n" << run.Out;

    run = Cli("lines", cable);
    EXPECT_EQ(run.Code, 0) << run.Err;
    for (const char *said : {"Settle: MISO read right ", "(code bytes 02 01 30 75 81 07 12 34)\nThe 5 ms in use is ",
                             " ms (PortSettle=", "SCK measured at ", " with a Clock Delay of 0 ms: the AT89S8252 needs a "
                             "crystal of "})
        EXPECT_NE(run.Out.find(said), std::string::npos) << said << "\n" << run.Out;

    // Ended after a second: the announcement comes before the operation.
    run = Shell("timeout 1 " + std::string(KORVEL_BINARY_DIR) + "/src/app/korvel-cli --settings " +
                    (Dir / "korvel.ini").string() + " --port " + cable + " --settle 20 read-code " +
                    (Dir / "all.hex").string(),
                Dir);
    EXPECT_NE(run.Out.find("This takes about 2"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find(" min on this port (8192 bytes read at 16"), std::string::npos) << run.Out;

    // Without the settle, or with one 2 ms short of the cable's lag, code byte 0 read at once is the
    // bit pattern shifted by one: nothing may be written back from it.
    run = Cli("--settle 0 detect", cable);
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("pl2303 reports line changes late, but PortSettle=0 reads them at once"), std::string::npos)
        << run.Out;
    for (const char *settle : {"0", "1"}) {
        run = Cli(std::string("--settle ") + settle + " write-code " + file, cable);
        EXPECT_EQ(run.Code, 1) << settle;
        EXPECT_NE(run.Err.find("$02 after a long wait; nothing was written"), std::string::npos) << run.Err;
        EXPECT_EQ(ReadBytes(Dir / "chip.sim")[12], 0x02) << "code byte 0, after a settle of " << settle << " ms";
    }
}

// The AT89S51 and AT89S52 on the virtual chip and behind the simulated FTDI cable: the signature and
// lock mode in detect, a write and a read, the other chip named when the settings name another (an
// AT89S8252's presence test changing nothing), lock modes, a locked chip found, neither read nor
// verified (exit 6) but erased and written, and with only the bytes a file holds. (Each erase waits
// half a second, so one chip on each port.)
TEST_F(CliTest, TheFourByteChipsOnEveryPort)
{
    std::ofstream(Dir / "korvel.ini") << "[Delays]\nResetDelay1=1\nResetDelay2=1\nWriteDelay=0.6\n";
    const std::string file = (Dir / "fw.bin").string();
    const std::string back = (Dir / "back.bin").string();
    std::string firmware;
    for (int i = 0; i < 300; ++i)
        firmware += static_cast<char>(i * 7 + 1);
    std::ofstream(file, std::ios::binary) << firmware;
    struct TCase {
        const char *Port;
        std::string Device, Other;
        std::size_t Size;
    };
    for (const TCase &c : {TCase{"sim:", "52", "51", 8192}, TCase{"sim-ftdi:", "51", "52", 4096}}) {
        SCOPED_TRACE(c.Port + c.Device);
        const std::string image = (Dir / (c.Device + ".sim")).string();
        // The exit and what the run says: on stdout when it succeeds, else on stderr.
        const auto run = [&](const std::string &command, int code, const std::string &said, std::string device = "") {
            const TRun r = Cli("--device " + (device.empty() ? c.Device : device) + " " + command, c.Port + image);
            EXPECT_EQ(r.Code, code) << command << "\n" << r.Err;
            EXPECT_NE((code == 0 ? r.Out : r.Err).find(said), std::string::npos) << command << "\n" << r.Out << r.Err;
        };
        run("detect", 0,
            "Signature 1E " + c.Device + " 06 (AT89S" + c.Device + "), lock mode 1 (no lock bit programmed)");
        run("write-code " + file, 0, ", read back and verified\n");
        run("read-code " + back, 0, "");
        const std::string expected = firmware + std::string(c.Size - 300, '\xFF');
        EXPECT_TRUE(ReadText(back) == expected);

        run("detect", 1,
            "Found an AT89S" + c.Device + " (1E " + c.Device + " 06), but the settings name the AT89S" + c.Other, c.Other);
        run("write-code " + file, 1, "but the settings name the AT89S8252", "8252");
        EXPECT_TRUE(ReadText(image).substr(12) == expected) << "the older chip's presence test changed nothing";

        run("verify-data " + file, 3, "only the AT89S8252 (--device 8252) has a data memory");
        run("lock 2", 0, "; the chip is in lock mode 3 (Lock Bits 1 and 2 programmed");
        run("detect", 0, "lock mode 3 (Lock Bits 1 and 2 programmed");
        run("read-code " + back, 6, "locked in mode 3");
        run("verify-code " + file, 6, "locked in mode 3");

        // 16 bytes at the end of the memory, on the locked chip: erased, and only they are written.
        const auto at = static_cast<unsigned>(c.Size - 16);
        const unsigned sum = 0x10 + (at >> 8) + (at & 0xFF) + 0x78; // count, address, the bytes 00 .. 0F
        char tail[64];
        std::snprintf(tail, sizeof tail, ":10%04X00000102030405060708090A0B0C0D0E0F%02X\n:00000001FF\n", at,
                      (0x100 - sum % 0x100) % 0x100);
        std::ofstream(Dir / "tail.hex") << tail;
        const std::string tailFile = (Dir / "tail.hex").string();
        run("write-code " + tailFile, 0, ", read back and verified\n");
        run("verify-code " + tailFile, 0, "Verify ok !");
        run("read-code " + back, 0, "");
        EXPECT_TRUE(ReadText(back) == std::string(c.Size - 16, '\xFF') + std::string("\x00\x01\x02\x03\x04\x05\x06\x07"
                                                                                     "\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F", 16))
            << "the rest stays erased";
    }
}

// korvel-cli terminal against our own program in the virtual chip, behind each kind of port: the
// greeting after RESET is released, typed lines answered, the end of standard input ignored, the
// first signal ending it with the lines at rest; --seconds ends it by itself.
TEST_F(CliTest, TerminalConnectsToTheProgramOnEveryVirtualPort)
{
    if (TChildProcess::FindOnPath("s51").empty())
        GTEST_SKIP() << "s51 (Debian package sdcc-ucsim) is not installed";
    std::ofstream(Dir / "korvel.ini") << "[General]\nDevice=3\n[SerialPort]\nBaudrate=5\n"
                                         "[Delays]\nResetDelay1=1\nResetDelay2=1\n";
    const std::string image = (Dir / "chip.sim").string();
    ASSERT_EQ(Cli("--quiet write-code " KORVEL_SOURCE_DIR "/examples/listing/listing.ihx").Code, 0);
    const std::string banner = "Korvel line keeper ready: LIST shows the lines kept, NEW forgets them\r\n>";
    for (const std::string port : {"sim:", "sim-ftdi:", "sim-pl2303:"}) {
        SCOPED_TRACE(port);
        auto run = StartCli(port + image, {"terminal"}, {}, true);
        const auto shows = [&](const std::string &text) {
            return WaitUntil([&] { return ReadText(Dir / "out.txt").find(text) != std::string::npos; },
                             std::chrono::seconds(60));
        };
        ASSERT_TRUE(shows(banner)) << ReadText(Dir / "out.txt") << ReadText(Dir / "err.txt");
        run->Send("10 A\r");
        EXPECT_TRUE(shows(banner + "10 A\r\n>")) << ReadText(Dir / "out.txt");
        run->Send("LIST\r");
        run->CloseInput();
        EXPECT_TRUE(shows("LIST\r\n10 A\r\n\r\nREADY\r\n>")) << ReadText(Dir / "out.txt");
        EXPECT_FALSE(run->Wait(std::chrono::milliseconds(200))) << "the end of standard input does not end it";
        run->Signal(SIGINT);
        EXPECT_EQ(run->Wait(std::chrono::seconds(30)), std::optional<int>(5));
        EXPECT_NE(ReadText(Dir / "err.txt").find("Stopped: the lines are at rest"), std::string::npos);
    }
    const TRun timed = Cli("terminal --seconds 3 </dev/null");
    EXPECT_EQ(timed.Code, 0) << timed.Err;
    EXPECT_EQ(timed.Out.rfind(banner, 0), 0u) << timed.Out;
    EXPECT_NE(Cli("--crystal 12 lines").Out.find("The virtual chip's program runs at 12 MHz"), std::string::npos);
}

// Without s51 the virtual chip runs nothing: terminal says how to install it and ends with exit 4.
TEST_F(CliTest, TerminalWithoutS51SaysHowToInstallIt)
{
    ASSERT_EQ(Cli("--quiet --device 52 write-code " KORVEL_SOURCE_DIR "/examples/listing/listing.ihx").Code, 0);
    fs::create_directories(Dir / "empty");
    auto run = StartCli("sim:" + (Dir / "chip.sim").string(), {"--device", "52", "terminal", "--seconds", "600"},
                        {"PATH=" + (Dir / "empty").string()});
    EXPECT_EQ(run->Wait(std::chrono::seconds(30)), std::optional<int>(4));
    EXPECT_NE(ReadText(Dir / "err.txt").find("install the Debian package sdcc-ucsim"), std::string::npos)
        << ReadText(Dir / "err.txt");
    EXPECT_EQ(ReadText(Dir / "out.txt"), "");
}

} // namespace
