// The terminal window on a pseudo-terminal, with a peer thread that answers like the target's
// BASIC-52 interpreter: it echoes each line with CR LF, prompts with ">", keeps numbered lines
// and lists them, ending the listing with READY and the prompt.
#include "desktop/file_dialog.h"
#include "link/qc_com32.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "terminal/debug_form.h"
#include "modal_answer.h"
#include "terminal_test_support.h"
#include "unprivileged.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TInterpreterPeer {
public:
    explicit TInterpreterPeer(const TPtyPair &pty) : Pty(pty) {}
    ~TInterpreterPeer() { Stop(); }

    void Start()
    {
        Thread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        Stopping = true;
        if (Thread.joinable())
            Thread.join();
    }

    // Set before Start.
    int AnsweredLines = INT_MAX;              // lines answered before it falls silent
    std::string ListReply;                    // instead of the listing of the stored program

    std::string Received() const
    {
        std::lock_guard lock(Mutex);
        return Bytes;
    }
    // Lines whose successor arrived before their prompt was sent.
    std::vector<std::string> Early() const
    {
        std::lock_guard lock(Mutex);
        return EarlyLines;
    }

private:
    void Run()
    {
        std::string line;
        while (!Stopping) {
            char ch;
            if (!InputWithin(10ms) || ::read(Pty.Master(), &ch, 1) != 1)
                continue;
            {
                std::lock_guard lock(Mutex);
                Bytes += ch;
            }
            if (ch == '\r') {
                Answer(line);
                line.clear();
            } else if (ch != '\n') {
                line += ch;
            }
        }
    }

    bool InputWithin(std::chrono::milliseconds wait) const
    {
        pollfd pfd{Pty.Master(), POLLIN, 0};
        return ::poll(&pfd, 1, static_cast<int>(wait.count())) > 0;
    }

    void Answer(const std::string &line)
    {
        if (Answered++ >= AnsweredLines)
            return;
        if (line == "LIST") {
            Pty.Send(ListReply.empty() ? Listing() : ListReply);
            return;
        }
        Store(line);
        Pty.Send(line + "\r\n");
        // The interpreter takes its time over a line; whatever comes meanwhile came too early.
        if (InputWithin(100ms)) {
            std::lock_guard lock(Mutex);
            EarlyLines.push_back(line);
        }
        Pty.Send(">");
    }

    void Store(const std::string &line)
    {
        std::istringstream in(line);
        int number;
        std::string statement;
        if (in >> number && std::getline(in >> std::ws, statement))
            Program[number] = statement;
    }

    std::string Listing() const
    {
        std::string text = "LIST\r\n";
        for (const auto &[number, statement] : Program) {
            const std::string digits = std::to_string(number);
            text += digits + std::string(7 - digits.size(), ' ') + statement + "\r\n";
        }
        return text + "\r\nREADY\r\n>";
    }

    const TPtyPair &Pty;
    std::thread Thread;
    std::atomic<bool> Stopping{false};
    int Answered = 0;
    std::map<int, std::string> Program;
    mutable std::mutex Mutex;
    std::string Bytes;
    std::vector<std::string> EarlyLines;
};

std::string FileText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class DebugFormTest : public TPtyPortTest {
protected:
    void SetUp() override
    {
        TPtyPortTest::SetUp();
        Form = std::make_unique<TDebugForm>(QCom, Settings, Status);
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        QApplication::setActiveWindow(Form.get());
    }
    void TearDown() override
    {
        Form.reset();
        TPtyPortTest::TearDown();
    }

    std::string Screen() const { return ConsoleText(*Form->Console1); }

    std::string WriteFile(const std::string &name, const std::string &text) const
    {
        std::ofstream(Dir / name, std::ios::binary) << text;
        return (Dir / name).string();
    }

    void ExpectCommandEnded() const
    {
        EXPECT_EQ(QCom.EndOfResponse(), "");
        EXPECT_TRUE(Form->Timer1->isActive());
        EXPECT_TRUE(Form->OpenBASICfile1->isEnabled());
        EXPECT_TRUE(Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->isEnabled());
    }

    TInterpreterPeer Peer{Pty};
    TSettings Settings;
    TProgStatus Status;
    std::unique_ptr<TDebugForm> Form;
};

// ---- upload ----

// The prompt that releases the next line is a ">" after the echo of the line's CR; the one in the
// echoed comparison is not.
TEST_F(DebugFormTest, UploadSendsEachLineWithOneCrOnceThePreviousAnswerHeldAPrompt)
{
    Peer.Start();
    AnswerFileDialog(QString::fromStdString(
        WriteFile("mixed.bas", "10 PRINT 1\r\n\n20 IF 2>1 THEN PRINT 2\r30 PRINT 3\x1A" "40 PRINT 4\r\n")));
    Form->OpenBASICfile1->trigger();

    const std::string sent = "10 PRINT 1\r\r20 IF 2>1 THEN PRINT 2\r30 PRINT 3\r";
    EXPECT_TRUE(WaitUntil([&] { return Peer.Received() == sent; })) << Peer.Received();
    EXPECT_EQ(Peer.Early(), std::vector<std::string>{});
    EXPECT_NE(Screen().find("10 PRINT 1\n>\n>20 IF 2>1 THEN PRINT 2\n"), std::string::npos) << Screen();
    EXPECT_EQ(Form->focusWidget(), Form->Console1);
    ExpectCommandEnded();
}

TEST_F(DebugFormTest, UploadEndsAfterTheLineThatGotNoPrompt)
{
    Peer.AnsweredLines = 1;
    Peer.Start();
    Form->Button3->setFocus();
    AnswerFileDialog(QString::fromStdString(WriteFile("three.bas", "10 A\r\n20 B\r\n30 C\r\n")));
    // While it waits, the polling is off and neither file command can start inside it.
    bool idleMeanwhile = true;
    QTimer::singleShot(1000, Form.get(), [&] {
        idleMeanwhile = !Form->Timer1->isActive() && !Form->OpenBASICfile1->isEnabled() &&
                        !Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->isEnabled();
    });
    Form->OpenBASICfile1->trigger();

    QTest::qWait(200);
    EXPECT_EQ(Peer.Received(), "10 A\r20 B\r");
    EXPECT_EQ(Form->focusWidget(), Form->Button3);
    EXPECT_TRUE(idleMeanwhile);
    ExpectCommandEnded();
}

// ---- capture ----

TEST_F(DebugFormTest, CaptureSavesTheListingWithoutEchoReadyAndPrompt)
{
    Peer.ListReply = "LIST\r\n10 PRINT 1\r\n\r\nREADY\r\n>";
    Peer.Start();
    AnswerFileDialog(QString::fromStdString((Dir / "listing").string()));
    Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();

    EXPECT_EQ(Peer.Received(), "LIST\r\n");
    EXPECT_EQ(FileText(Dir / "listing.Bas"), "10 PRINT 1\r\n");
    EXPECT_NE(Screen().find("LIST\n10 PRINT 1\n\nREADY\n>"), std::string::npos) << Screen();
    EXPECT_EQ(QCom.ResponseTime(), 100);
    ExpectCommandEnded();
}

TEST_F(DebugFormTest, TheExampleProgramComesBackAsItsListing)
{
    Peer.Start();
    AnswerFileDialog(KORVEL_SOURCE_DIR "/examples/basic/squares.bas");
    Form->OpenBASICfile1->trigger();
    // The last answers come in after the upload; the polling shows them before the capture.
    ASSERT_TRUE(WaitUntil([&] { return Screen().find("40 NEXT I\n>") != std::string::npos; }));
    AnswerFileDialog(QString::fromStdString((Dir / "back.bas").string()));
    Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();

    EXPECT_EQ(FileText(Dir / "back.bas"), "10     REM SQUARES UP TO 5, MARKING THE BIG ONES\r\n"
                                          "20     FOR I=1 TO 5\r\n"
                                          "30     IF I*I>10 THEN PRINT I,I*I,\"BIG\" ELSE PRINT I,I*I\r\n"
                                          "40     NEXT I\r\n");
}

TEST_F(DebugFormTest, CaptureWithoutAnswerSavesAnEmptyFileAndAnUnsaveableOneSendsNothing)
{
    Peer.AnsweredLines = 0;
    Peer.Start();
    AnswerFileDialog({});
    Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
    AnswerFileDialog(QString::fromStdString((Dir / "silent.bas").string()));
    Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
    EXPECT_TRUE(fs::exists(Dir / "silent.bas"));
    EXPECT_EQ(FileText(Dir / "silent.bas"), "");
    EXPECT_EQ(Peer.Received(), "LIST\r\n");

    fs::create_directories(Dir / "locked");
    fs::permissions(Dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    {
        TUnprivileged nobody;
        AnswerFileDialog(QString::fromStdString((Dir / "locked" / "x.bas").string()));
        Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
    }
    QTest::qWait(100);
    EXPECT_EQ(Peer.Received(), "LIST\r\n");
    EXPECT_FALSE(fs::exists(Dir / "locked" / "x.bas"));
    ExpectCommandEnded();
}

// A target that never falls silent: the capture stops at its bounds and saves what it has, and Hold
// keeps only the newest text, saying that older text was dropped.
TEST_F(DebugFormTest, ACaptureAndHoldStayWithinTheirBoundsOnAChattyTarget)
{
    using namespace std::chrono_literals;
    std::atomic<bool> talking{true};
    std::thread target([&] {
        while (talking) {
            [[maybe_unused]] const auto sent = ::write(Pty.Master(), "10 PRINT 1\r\n", 12);
            std::this_thread::sleep_for(1ms);
        }
    });
    const struct {
        std::size_t Bytes;
        std::chrono::milliseconds Time;
    } bounds[] = {{2000, 10min}, {std::size_t{1} << 30, 300ms}};
    for (const auto &bound : bounds) {
        Form->Limits.CaptureBytes = bound.Bytes;
        Form->Limits.CaptureTime = bound.Time;
        fs::remove(Dir / "chatty.bas");
        AnswerFileDialog(QString::fromStdString((Dir / "chatty.bas").string()));
        Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
        const std::string saved = FileText(Dir / "chatty.bas");
        EXPECT_GE(saved.size(), 12u) << bound.Bytes;
        EXPECT_LT(saved.size(), 1000000u) << bound.Bytes;
        EXPECT_NE(Screen().find("[listing cut: the target did not fall silent]"), std::string::npos);
        ExpectCommandEnded();
    }
    talking = false;
    target.join();

    Form->Timer1->stop();
    Form->Limits.HoldBytes = 10;
    Form->Button2->click();
    Form->Timer1Timer(); // what the target said meanwhile
    Form->Button2->click();
    Form->Button3->click();
    for (const char *text : {"0123", "456789", "abcdef"}) {
        Pty.Send(text);
        ASSERT_TRUE(WaitUntil([&] { return QCom.InCount() > 0; }));
        Form->Timer1Timer();
    }
    EXPECT_EQ(Form->PendingText(), "6789abcdef");
    Form->Button3->click();
    Pty.Send("!");
    ASSERT_TRUE(WaitUntil([&] { return QCom.InCount() > 0; }));
    Form->Timer1Timer();
    EXPECT_EQ(Screen(), "\n[older text dropped]\n6789abcdef!\n");
}

// ---- polling ----

TEST_F(DebugFormTest, HoldKeepsTextBackUntilItIsOffAndMoreArrives)
{
    Form->Timer1->stop();
    Form->Button3->click();
    Pty.Send("abc");
    ASSERT_TRUE(WaitUntil([&] { return QCom.InCount() == 3; }));
    Form->Timer1Timer();
    EXPECT_EQ(Form->Button3->text(), "Update");
    EXPECT_EQ(Form->PendingText(), "abc");
    EXPECT_EQ(Screen(), "\n");

    Form->Button3->click();
    Form->Timer1Timer();
    EXPECT_EQ(Form->Button3->text(), "Hold");
    EXPECT_EQ(Screen(), "\n");
    Pty.Send("d");
    ASSERT_TRUE(WaitUntil([&] { return QCom.InCount() == 1; }));
    Form->Timer1Timer();
    EXPECT_EQ(Screen(), "abcd\n");
    EXPECT_EQ(Form->PendingText(), "");
}

TEST_F(DebugFormTest, TypedKeysGoOnePerTickAndNeverWithResetOnTxd)
{
    Form->Timer1->stop();
    Peer.Start();
    QTest::keyClicks(Form->Console1, "xy");
    Settings.Reset_Line = 0;
    QCom.SetBreak(true);
    Form->Timer1Timer();
    Form->Timer1Timer();
    QTest::qWait(100);
    EXPECT_EQ(Peer.Received(), "");
    EXPECT_TRUE(QCom.Break());

    Settings.Reset_Line = 2;
    Form->Timer1Timer();
    ASSERT_TRUE(WaitUntil([&] { return Peer.Received() == "x"; }));
    EXPECT_FALSE(QCom.Break());
    Form->Timer1Timer();
    EXPECT_TRUE(WaitUntil([&] { return Peer.Received() == "xy"; })) << Peer.Received();
    // Nothing typed is shown but what the target sends back.
    EXPECT_EQ(Screen(), "\n");
}

TEST_F(DebugFormTest, PollingLeavesThePortToOperationsOtherThanTheChipReset)
{
    Form->Timer1->stop();
    Peer.Start();
    QTest::keyClick(Form->Console1, 'k');
    Pty.Send("z");
    ASSERT_TRUE(WaitUntil([&] { return QCom.InCount() == 1; }));
    Status.Busy = true;
    Status.OperationCode = opWriteCode;
    Form->Timer1Timer();
    QTest::qWait(100);
    EXPECT_EQ(QCom.InCount(), 1);
    EXPECT_EQ(Peer.Received(), "");

    Status.OperationCode = opChipReset;
    Form->Timer1Timer();
    EXPECT_EQ(Screen(), "z\n");
    EXPECT_TRUE(WaitUntil([&] { return Peer.Received() == "k"; }));
}

// ---- the window ----

TEST_F(DebugFormTest, HeightStepsAndButtonsAnchoredRightAndBottom)
{
    EXPECT_EQ(Form->size(), QSize(535, 235)); // 223 asked for, stepped on showing
    EXPECT_EQ(Form->Button3->x(), 294);
    EXPECT_EQ(Form->Button2->x(), 385);
    EXPECT_EQ(Form->Button1->x(), 477);
    const int bottomGap = Form->height() - Form->Button1->mapTo(Form.get(), QPoint()).y();
    for (const auto &[asked, got] : {std::pair{100, 115}, {130, 130}, {131, 145}}) {
        Form->resize(635, asked);
        QApplication::processEvents();
        EXPECT_EQ(Form->height(), got) << asked;
    }
    EXPECT_EQ(Form->Button3->x(), 394);
    EXPECT_EQ(Form->Button1->x(), 577);
    EXPECT_EQ(Form->height() - Form->Button1->mapTo(Form.get(), QPoint()).y(), bottomGap);
}

TEST_F(DebugFormTest, BasicFilterShowsBasFilesInAnyCase)
{
    for (const char *name : {"a.bas", "b.BAS", "c.Bas", "d.txt"})
        WriteFile(name, "");
    QFileDialog &dialog = *Form->OpenDialog1;
    dialog.setDirectory(QString::fromStdString(Dir.string()));
    dialog.open();
    const auto *types = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->itemText(0), "BASIC Files *.Bas");
    EXPECT_EQ(types->itemText(1), "All Files *.*");
    const auto *list = dialog.findChild<QListView *>(QStringLiteral("listView"));
    ASSERT_NE(list, nullptr);
    const auto shown = [list] {
        QStringList names;
        for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row)
            names << list->model()->index(row, 0, list->rootIndex()).data().toString();
        names.sort();
        return names;
    };
    EXPECT_TRUE(WaitUntil([&] { return shown() == QStringList{"a.bas", "b.BAS", "c.Bas"}; }))
        << shown().join(' ').toStdString();
    dialog.selectNameFilter(dialog.nameFilters().at(1));
    EXPECT_TRUE(WaitUntil([&] { return shown().size() == 4; })) << shown().join(' ').toStdString();
    dialog.reject();
}

// ---- the screenshot for the manual ----

// Uploads the example and lists it again, then saves what the window shows, when
// KORVEL_SCREENSHOT_DIR names a folder.
TEST_F(DebugFormTest, Screenshot)
{
    const char *folder = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!folder)
        GTEST_SKIP() << "KORVEL_SCREENSHOT_DIR is not set";
    Peer.Start();
    Pty.Send("\r\nREADY\r\n>");
    AnswerFileDialog(KORVEL_SOURCE_DIR "/examples/basic/squares.bas");
    Form->OpenBASICfile1->trigger();
    ASSERT_TRUE(WaitUntil([&] { return Screen().find("40 NEXT I\n>") != std::string::npos; }));
    AnswerFileDialog(QString::fromStdString((Dir / "squares.bas").string()));
    Form->SendLISTtointerpreterandsavebuffertoaBASICfile1->trigger();
    QTest::qWait(100);
    ASSERT_TRUE(Form->grab().save(QString::fromLocal8Bit(folder) + "/terminal.png"));
}

} // namespace
