// The terminal window on the virtual chip, as the program connects them: the port session opens the
// name "sim", chip operations run through its lines on the programming thread, and the program they
// wrote runs in s51 whenever RESET is released. The programs are our own examples.
#include "app/port_kinds.h"
#include "buffer/hex_file.h"
#include "link/qc_com32.h"
#include "prog/port_session.h"
#include "settings/settings.h"
#include "sim/child_process.h"
#include "sim/s51_target.h"
#include "sim/virtual_target.h"
#include "terminal/debug_form.h"
#include "modal_answer.h"
#include "operation_outcome.h"
#include "shell_run.h"
#include "terminal_test_support.h"

#include <QAction>
#include <QApplication>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char *const KeeperBanner = "Korvel line keeper ready: LIST shows the lines kept, NEW forgets them\n>";
const char *const ReverseBanner = "Korvel AT89S52 ready: lines come back reversed\n";

// PATH naming only an empty folder while it lives, so that s51 cannot be found.
class TNoSimulator {
public:
    explicit TNoSimulator(const fs::path &empty) : Saved(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        fs::create_directories(empty);
        ::setenv("PATH", empty.c_str(), 1);
    }
    ~TNoSimulator() { ::setenv("PATH", Saved.c_str(), 1); }

private:
    std::string Saved;
};

class VirtualTerminalTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() / ("korvel-virtual-terminal-" + std::to_string(::getpid()) + "-" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
        Settings.PortName = "sim";
        Settings.Device = 3; // the AT89S52 the examples are written for
        Settings.ResetDelay1 = Settings.ResetDelay2 = 1;
        Com.SetShowErrors(false);
        Com.SetBaud(9600);
        Com.SetHooks({nullptr, [] { QCoreApplication::processEvents(); }});
        std::string error;
        ASSERT_EQ(Session.Open({}, error), TOpenResult::Ok) << error;
        Session.Virtual()->Chip().SetWriteCycle(20us);
        Session.Virtual()->Chip().SetEraseTime(200us);
        Form = std::make_unique<TDebugForm>(Com, Settings, Outcome.Status);
        Form->show();
    }
    void TearDown() override
    {
        Form.reset();
        fs::remove_all(Dir);
    }

    // An operation on the programming thread, as a menu starts it; the window's polling waits meanwhile.
    void Run(TOperationCode code) { RunOperation(code, Session.Lines(), Settings, Outcome); }
    void Program(const char *firmware)
    {
        std::fill(Outcome.Memory.Buffer.begin(), Outcome.Memory.Buffer.end(), 0xFF);
        ASSERT_TRUE(LoadHexFile(Outcome.Memory, Settings.Device, firmware, true, {}).Ok);
        Run(opWriteCode);
        ASSERT_TRUE(Outcome.Status.DeviceFound);
    }
    std::string Screen() const { return ConsoleText(*Form->Console1); }
    // s51 runs slower than the chip on a busy machine: the waits are generous.
    bool Shows(const std::string &text, std::size_t times = 1)
    {
        return WaitUntil([&] { return Occurrences(Screen(), text) >= times; }, 60000);
    }
    static std::size_t Occurrences(const std::string &text, const std::string &part)
    {
        std::size_t count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }
    // The upload of a file holding text, and the listing saved into a file, as the File menu runs them.
    void Upload(const std::string &name, const std::string &text)
    {
        std::ofstream(Dir / name) << text;
        AnswerFileDialog(QString::fromStdString((Dir / name).string()));
        Form->OpenBASICfile1->trigger();
    }
    void SaveListing(const std::string &name)
    {
        AnswerFileDialog(QString::fromStdString((Dir / name).string()));
        Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
    }
    void Type(const char *text)
    {
        QTest::keyClicks(Form->Console1, text);
        QTest::keyClick(Form->Console1, Qt::Key_Return);
    }

    fs::path Dir;
    TSettings Settings = QuickSettings();
    T_QCCom32 Com;
    const TPortKinds Kinds = StandardPortKinds();
    TPortSession Session{Com, Settings, Kinds};
    TOutcome Outcome;
    std::unique_ptr<TDebugForm> Form;
};

#define SKIP_WITHOUT_S51()                                                                                             \
    if (TChildProcess::FindOnPath("s51").empty())                                                                      \
    GTEST_SKIP() << "s51 (Debian package sdcc-ucsim) is not installed"

// What the window shows is the program's own: its greeting once RESET is released, answers to what is
// typed, a greeting again (and memory forgotten) after a Chip Reset, another program's greeting after
// an operation wrote it, and a rate the terminal does not share named without stopping the program.
TEST_F(VirtualTerminalTest, TheProgramGreetsAnswersAndStartsOverAfterResetsAndOperations)
{
    SKIP_WITHOUT_S51();
    EXPECT_EQ(Com.TargetProblem(), "") << "an erased chip runs nothing and lacks nothing";
    Program(KORVEL_SOURCE_DIR "/examples/listing/listing.ihx");
    ASSERT_TRUE(Shows(KeeperBanner)) << Screen();
    Type("10 A");
    ASSERT_TRUE(Shows("10 A\n>")) << Screen();

    Run(opChipReset);
    ASSERT_TRUE(Shows(KeeperBanner, 2)) << Screen();
    Type("LIST");
    EXPECT_TRUE(Shows(">LIST\n\nREADY\n>")) << "the reset forgot the line kept: " << Screen();

    Program(KORVEL_SOURCE_DIR "/examples/reverse/reverse.ihx");
    ASSERT_TRUE(Shows(ReverseBanner)) << Screen();
    Type("abc");
    EXPECT_TRUE(Shows("abc\ncba\n")) << Screen();

    Com.SetBaud(300);
    const std::string note = BaudMismatchText(9600, 300);
    ASSERT_TRUE(Shows(note.substr(0, 40))) << Screen();
    Com.SetBaud(9600);
    Type("xy");
    EXPECT_TRUE(Shows("xy\nyx\n")) << "the program ran on: " << Screen();
    EXPECT_EQ(Occurrences(Screen(), ReverseBanner), 1u);
}

// The upload waits for each prompt and the capture saves the listing, against the line keeper.
TEST_F(VirtualTerminalTest, UploadAndListingRunAgainstTheProgram)
{
    SKIP_WITHOUT_S51();
    Program(KORVEL_SOURCE_DIR "/examples/listing/listing.ihx");
    ASSERT_TRUE(Shows(KeeperBanner)) << Screen();
    Upload("two.bas", "10 PRINT 1\r\n20 END\r\n");
    ASSERT_TRUE(Shows("10 PRINT 1\n>20 END\n>")) << Screen();

    SaveListing("back.bas");
    EXPECT_EQ(ReadText(Dir / "back.bas"), "10 PRINT 1\r\n20 END\r\n");
}

// Without s51 the window says how to install it, once, and goes on as before: keys are taken and
// operations run.
TEST_F(VirtualTerminalTest, WithoutS51TheWindowSaysHowToInstallIt)
{
    const TNoSimulator hidden(Dir / "empty");
    Program(KORVEL_SOURCE_DIR "/examples/listing/listing.ihx");
    const auto flat = [this] {
        std::string text = Screen();
        text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
        return text;
    };
    ASSERT_TRUE(WaitUntil([&] { return flat().find(S51MissingText) != std::string::npos; })) << Screen();
    Type("10 A");
    Run(opVerifyCode);
    EXPECT_EQ(Outcome.Status.VerifyDifferences, false);
    QTest::qWait(200);
    EXPECT_EQ(Occurrences(flat(), S51MissingText), 1u) << Screen();
}

// The line keeper after its greeting, an upload and a listing, saved for the manual when
// KORVEL_SCREENSHOT_DIR names a folder.
TEST_F(VirtualTerminalTest, Screenshot)
{
    const char *folder = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!folder)
        GTEST_SKIP() << "KORVEL_SCREENSHOT_DIR is not set";
    SKIP_WITHOUT_S51();
    Program(KORVEL_SOURCE_DIR "/examples/listing/listing.ihx");
    ASSERT_TRUE(Shows(KeeperBanner)) << Screen();
    Upload("table.bas", "10 FOR I=1 TO 3\r\n20 PRINT I,I*I\r\n30 NEXT I\r\n");
    ASSERT_TRUE(Shows("30 NEXT I\n>")) << Screen();
    SaveListing("back.bas");
    ASSERT_TRUE(Shows("READY\n>")) << Screen();
    QTest::qWait(100);
    ASSERT_TRUE(Form->grab().save(QString::fromLocal8Bit(folder) + "/terminal-virtual.png"));
}

} // namespace
