// The main window's wiring, driven with real mouse clicks on its menus against the virtual chip.
#include "main_form_fixture.h"

#include "editor/edit_form.h"
#include "ui/about_form.h"
#include "terminal/debug_form.h"
#include "ui/com_para_form.h"
#include "ui/comp_dif_form.h"
#include "ui/help_form.h"
#include "ui/lock_bit_form.h"
#include "sim/sim_image_lock.h"
#include "ui/radio_group.h"
#include "../terminal/terminal_test_support.h"
#include "unprivileged.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QUrl>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// "Always enabled" commands stay so during an operation; the rest follow it.
void ExpectCommandsEnabled(TMainForm &form, bool enabled)
{
    EXPECT_EQ(form.Parameter1->isEnabled(), enabled);
    EXPECT_EQ(form.Buffer1->menuAction()->isEnabled(), enabled);
    EXPECT_EQ(form.Device1->menuAction()->isEnabled(), enabled);
    EXPECT_EQ(form.RedoButton->isEnabled(), enabled);
    for (QAction *always : {form.Debug1, form.About1, form.Hide1, form.Help1})
        EXPECT_TRUE(always->isEnabled()) << always->text().toStdString();
}

} // namespace

TEST_F(MainFormTest, MenusFollowSecureTheDeviceKindAndARunningOperation)
{
    Start("[General]\r\nSecure=True\r\nDevice=1\r\n");
    EXPECT_FALSE(Form->Parameter1->isEnabled());
    EXPECT_FALSE(Form->ReadDataMemorytoBuffer1->isEnabled());
    EXPECT_FALSE(Form->ProgramDataMemoryfromBuffer1->isEnabled());
    EXPECT_TRUE(Form->CompareDataMemorytoBuffer1->isEnabled());
    Form.reset();

    Start();
    ExpectCommandsEnabled(*Form, true);
    TModalSeen question;
    AnswerNextModal(question, QMessageBox::Cancel);
    ClickMenu(Form->Device1, Form->ChipErase1);
    EXPECT_EQ(question.Title, "Attention");
    EXPECT_EQ(question.Text, "Erase Data and Code memory\nAre you sure ?");
    EXPECT_EQ(question.Icon, QMessageBox::Question);
    EXPECT_FALSE(Form->OperationRunning());
    EXPECT_EQ(Chip().Counters().DecodedOf(TInstruction::ChipErase), 0u);

    TModalSeen ok;
    AnswerNextModal(ok, QMessageBox::Ok);
    ClickMenu(Form->Device1, Form->ChipErase1);
    ASSERT_TRUE(Form->OperationRunning());
    ExpectCommandsEnabled(*Form, false); // at once, not at the next tick
    WaitForOperation();
    QTest::qWait(150);
    ExpectCommandsEnabled(*Form, true);
    EXPECT_EQ(Chip().Counters().DecodedOf(TInstruction::ChipErase), 1u);
}

TEST_F(MainFormTest, LoadWriteAndVerifyThroughTheMenus)
{
    Start();
    WriteFile("fw.hex", ":0400100001020304E2\r\n:00000001FF\r\n");
    ClickMenu(Form->Buffer1, Form->ClearwithFF1);
    AnswerFileDialog(QString::fromStdString((Dir / "fw.hex").string()));
    ClickMenu(Form->Buffer1, Form->AsaIntelHexFile1);
    EXPECT_EQ(Form->Memory.Buffer[16], 1);
    EXPECT_EQ(Form->Memory.Buffer[19], 4);
    EXPECT_EQ(Form->Memory.HighestAddress, 19);
    EXPECT_FALSE(Form->Memory.WholeDevice);
    EXPECT_EQ(Form->Settings.LastFilename, (Dir / "fw.hex").string());
    EXPECT_EQ(Form->Settings.LastFiletyp, "H");

    ClickMenu(Form->Device1, Form->ProgramCodeMemoryfromBuffer1);
    WaitForOperation();
    EXPECT_EQ(Chip().Contents().Code[19], 4);
    EXPECT_TRUE(Form->Label1->text().endsWith(" s"));

    TModalSeen verified;
    AnswerNextModal(verified);
    ClickMenu(Form->Device1, Form->CompareCodeMemorytoBuffer1);
    WaitForOperation();
    ASSERT_TRUE(WaitUntil([&] { return verified.Seen; }));
    EXPECT_EQ(verified.Title, "Gratulation");
    EXPECT_EQ(verified.Text, "Verify ok !");
    EXPECT_TRUE(Form->Memory.WholeDevice);

    Form->Memory.Buffer[0x1A0] = 0x12;
    TModalSeen differences;
    AnswerNextModal(differences);
    ClickMenu(Form->Device1, Form->CompareCodeMemorytoBuffer1);
    WaitForOperation();
    ASSERT_TRUE(WaitUntil([&] { return differences.Seen; }));
    EXPECT_EQ(differences.Title, "Note");
    EXPECT_EQ(differences.Text, "Found differences during Verify !");
    EXPECT_EQ(Form->CompDifForm->Memo->toPlainText(), "Byte $01A0 Buffer: $12 Device: $FF");
    EXPECT_TRUE(WaitUntil([&] { return Form->CompDifForm->isVisible(); }));
}

// The GUI's way with an AT89S52: data commands off, a write that erases first, and the chip named in
// words once the parameter dialog names the other chip of its family.
TEST_F(MainFormTest, AnAt89s52ThroughTheMenusAndTheParameterDialog)
{
    Start("[General]\r\nDevice=3\r\n");
    EXPECT_FALSE(Form->ReadDataMemorytoBuffer1->isEnabled() || Form->ProgramDataMemoryfromBuffer1->isEnabled() ||
                 Form->CompareDataMemorytoBuffer1->isEnabled());
    TSimImage image = Chip().Contents();
    image.Code[0x1FFF] = 0x00; // beyond the file: an erase makes it FF
    Chip().SetContents(image);
    WriteFile("fw.hex", ":040010008102030462\r\n:00000001FF\r\n");
    AnswerFileDialog(QString::fromStdString((Dir / "fw.hex").string()));
    ClickMenu(Form->Buffer1, Form->AsaIntelHexFile1);
    ClickMenu(Form->Device1, Form->ProgramCodeMemoryfromBuffer1);
    WaitForOperation();
    EXPECT_EQ(Chip().Contents().Code[0x10], 0x81);
    EXPECT_EQ(Chip().Contents().Code[0x1FFF], 0xFF);

    QTimer::singleShot(50, [this] {
        QRadioButton *s51 = Form->ComParaForm->DeviceGroup->Item(2);
        QTest::mouseClick(s51, Qt::LeftButton, {}, QPoint(5, s51->height() / 2));
        QTest::mouseClick(Form->ComParaForm->Button1, Qt::LeftButton);
    });
    ClickBar(Form->Parameter1);
    WaitForOperation();
    TModalSeen other;
    AnswerNextModal(other);
    ClickMenu(Form->Device1, Form->CompareCodeMemorytoBuffer1);
    WaitForOperation();
    ASSERT_TRUE(WaitUntil([&] { return other.Seen; }));
    EXPECT_EQ(other.Title + ": " + other.Text, "Error: Found an AT89S52 (1E 52 06), but the settings name the AT89S51");
}

// What Ok programmed comes back next time; a box ticked and then backed out of (Cancel, Escape, the
// close box) does not, since one Enter beside the default Ok would program it.
TEST_F(MainFormTest, LockBitDialogKeepsWhatOkTookAndDropsWhatWasCancelled)
{
    Start();
    TLockBitForm &dialog = *Form->LockBitForm;
    QTimer::singleShot(50, [&] {
        QTest::mouseClick(dialog.LB2, Qt::LeftButton);
        QTest::mouseClick(dialog.Button1, Qt::LeftButton);
    });
    ClickMenu(Form->Device1, Form->WriteLockBits1);
    EXPECT_EQ(Form->Status.LockBitsByte, 0xA7);
    WaitForOperation();
    EXPECT_EQ(Chip().Contents().LockBits, 0b010);

    const std::pair<const char *, std::function<void()>> backOuts[] = {
        {"Cancel", [&] { QTest::mouseClick(dialog.Button2, Qt::LeftButton); }},
        {"Escape", [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }},
        {"close box", [&] { dialog.close(); }},
    };
    for (const auto &[how, backOut] : backOuts) {
        bool shownAsOkLeftThem = false;
        QTimer::singleShot(50, [&] {
            shownAsOkLeftThem = !dialog.LB1->isChecked() && dialog.LB2->isChecked() && !dialog.LB3->isChecked();
            QTest::mouseClick(dialog.LB1, Qt::LeftButton);
            QTest::mouseClick(dialog.LB2, Qt::LeftButton);
            backOut();
        });
        ClickMenu(Form->Device1, Form->WriteLockBits1);
        EXPECT_TRUE(shownAsOkLeftThem) << how;
        EXPECT_FALSE(Form->OperationRunning()) << how;
        EXPECT_EQ(dialog.LockBitsByte(), 0xA7) << how;
    }
}

TEST_F(MainFormTest, RedoReloadsTheLastFileWithItsReaderAndWritesIt)
{
    Start();
    QTest::mouseClick(Form->RedoButton, Qt::LeftButton); // no file yet: nothing
    EXPECT_FALSE(Form->OperationRunning());

    WriteFile("fw.bin", std::string("\x11\x22\x33", 3));
    WriteFile("fw.txt", ":02000000AABB99\r\n:00000001FF\r\n");
    const struct {
        const char *File, *Type;
        bool Fast;
        int First, Highest;
        TOperationCode Operation;
    } cases[] = {{"fw.bin", "B", false, 0x11, 2, opWriteCode},
                 {"fw.txt", "H", true, 0xAA, 1, opWriteCodeFast},
                 {"fw.txt", "Intel", false, 0xAA, 1, opWriteCode}};
    for (const auto &c : cases) {
        Form->Memory.WholeDevice = true;
        Form->Settings.LastFilename = (Dir / c.File).string();
        Form->Settings.LastFiletyp = c.Type;
        Form->Settings.FastRedo = c.Fast;
        QTest::mouseClick(Form->RedoButton, Qt::LeftButton);
        EXPECT_EQ(Form->Status.OperationCode, c.Operation) << c.Type;
        EXPECT_EQ(Form->Memory.Buffer[0], c.First) << c.Type;
        EXPECT_EQ(Form->Memory.HighestAddress, c.Highest) << c.Type;
        EXPECT_FALSE(Form->Memory.WholeDevice);
        WaitForOperation();
        EXPECT_EQ(Chip().Contents().Code[0], c.First) << c.Type;
    }

    fs::remove(Dir / "fw.txt");
    TModalSeen error;
    AnswerNextModal(error);
    QTest::mouseClick(Form->RedoButton, Qt::LeftButton);
    EXPECT_TRUE(error.Text.contains("fw.txt"));
    EXPECT_FALSE(Form->OperationRunning());
}

// A damaged Intel-HEX file loads with a warning that names its first damaged line; Redo, which writes
// at one click, asks first and writes nothing when the question is cancelled.
TEST_F(MainFormTest, DamagedHexFileLoadsWithAWarningAndRedoAsksBeforeWritingIt)
{
    Start();
    const std::string name = (Dir / "cut.hex").string();
    WriteFile("cut.hex", ":0400100001020304E2\r\n:0400140005");
    QStringList seen;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    QTimer boxes; // answers message boxes only, past the file dialog
    boxes.setInterval(10);
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        seen << box->windowTitle() + ": " + box->text();
        (box->button(answer) ? box->button(answer) : box->button(QMessageBox::Ok))->click();
    });
    boxes.start();
    AnswerFileDialog(QString::fromStdString(name));
    ClickMenu(Form->Buffer1, Form->AsaIntelHexFile1);
    const QString warning = QString::fromStdString(name + ": line 2 is damaged (not an Intel-HEX record); the "
                                                          "end-of-file record is missing: the file may be cut off\n");
    ASSERT_TRUE(WaitUntil([&] { return !seen.isEmpty(); }));
    EXPECT_EQ(seen, QStringList{"Warning: " + warning + "The buffer holds what could be read of it."});
    EXPECT_EQ(Form->Memory.Buffer[0x13], 4);
    EXPECT_EQ(Form->Memory.Buffer[0x14], 5);

    for (const QMessageBox::StandardButton button : {QMessageBox::Cancel, QMessageBox::Ok}) {
        seen.clear();
        answer = button;
        QTest::mouseClick(Form->RedoButton, Qt::LeftButton);
        EXPECT_EQ(seen, QStringList{"Warning: " + warning + "Write what could be read of it to the chip?"});
        WaitForOperation();
        EXPECT_EQ(Form->Status.OperationCode, button == QMessageBox::Ok ? opWriteCode : opIdle);
        EXPECT_EQ(Chip().Contents().Code[0x14], button == QMessageBox::Ok ? 5 : 0xFF);
    }
}

TEST_F(MainFormTest, ClosingDuringAWriteStopsItPromptly)
{
    Start();
    Form->Memory.WholeDevice = true;
    ClickMenu(Form->Device1, Form->ProgramCodeMemoryfromBuffer1); // 8192 bytes: half a minute
    ASSERT_TRUE(WaitUntil([&] { return Form->Status.Progress > 0; }));
    QElapsedTimer timer;
    timer.start();
    Form->close();
    EXPECT_FALSE(Form->OperationRunning());
    EXPECT_LT(timer.elapsed(), 5000);
    const auto &code = Chip().Contents().Code;
    EXPECT_LT(std::count(code.begin(), code.end(), 0x00), 8192); // stopped part way
}

TEST_F(MainFormTest, ParameterDialogSavesOnOkAndAlwaysReopensThePort)
{
    Start();
    const std::string before = ReadFile(Dir / "korvel.ini");
    const auto requests = Chip().Counters().LineRequests;
    QTimer::singleShot(50, [this] {
        QTest::mouseClick(Form->ComParaForm->Button5, Qt::LeftButton); // "Atmel"
        QTest::mouseClick(Form->ComParaForm->Button2, Qt::LeftButton); // Cancel
    });
    ClickBar(Form->Parameter1);
    ASSERT_TRUE(Form->OperationRunning()); // the idle operation
    WaitForOperation();
    EXPECT_EQ(ReadFile(Dir / "korvel.ini"), before);
    EXPECT_EQ(Form->Settings.Reset_Line, 2);
    EXPECT_FALSE(Form->Settings.RESETInvert);
    EXPECT_GT(Chip().Counters().LineRequests, requests);

    QTimer::singleShot(50, [this] {
        QTest::mouseClick(Form->ComParaForm->Button5, Qt::LeftButton);
        QTest::mouseClick(Form->ComParaForm->Button1, Qt::LeftButton); // Ok
    });
    ClickBar(Form->Parameter1);
    WaitForOperation();
    const std::string after = ReadFile(Dir / "korvel.ini");
    EXPECT_NE(after.find("RESETInvert=True\r\n"), std::string::npos);
    EXPECT_NE(after.find("ResetDelay1= 5.00000000000000E+0002\r\n"), std::string::npos);
    EXPECT_TRUE(Form->Settings.RESETInvert);
}

// The driver found when the port was opened stands beside its device.
TEST_F(MainFormTest, TheParameterDialogNamesThePortsDriver)
{
    PortName = "sim-pl2303";
    Start();
    QString shown;
    QTimer::singleShot(50, [this, &shown] {
        shown = Form->ComParaForm->PortNameLabel->text();
        QTest::mouseClick(Form->ComParaForm->Button2, Qt::LeftButton);
    });
    ClickBar(Form->Parameter1);
    WaitForOperation();
    EXPECT_EQ(shown, QStringLiteral("The settings file's PortName opens sim-pl2303\nDriver: pl2303, USB 067b:2303"));
}

TEST_F(MainFormTest, EditWindowAndTerminalOpenFromTheMenus)
{
    Start();
    ClickMenu(Form->Buffer1, Form->Edit1);
    ASSERT_TRUE(WaitUntil([this] { return Form->EditForm->isVisible(); }));
    QTest::qWait(150);
    EXPECT_FALSE(Form->Device1->menuAction()->isEnabled());
    EXPECT_TRUE(Form->Buffer1->menuAction()->isEnabled());
    EXPECT_TRUE(Form->RedoButton->isEnabled());
    Form->EditForm->close();

    ClickBar(Form->Debug1);
    ASSERT_TRUE(WaitUntil([this] { return Form->DebugForm->isVisible(); }));
    EXPECT_TRUE(WaitUntil([this] { return QApplication::focusWidget() == Form->DebugForm->Console1; }));
    QApplication::setActiveWindow(Form.get());
    Form->RedoButton->setFocus();
    ClickMenu(Form->Buffer1, Form->Clearto001); // hands the keyboard back to the terminal
    EXPECT_TRUE(WaitUntil([this] { return QApplication::focusWidget() == Form->DebugForm->Console1; }));
}

// Writes the pictures of the main window and its small windows into KORVEL_SCREENSHOT_DIR.
TEST_F(MainFormTest, Screenshots)
{
    const char *folder = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!folder)
        GTEST_SKIP() << "KORVEL_SCREENSHOT_DIR names no folder to write the screenshots into";
    const QString dir = QString::fromLocal8Bit(folder) + "/";
    Start();
    Form->Memory.Buffer.fill(0xFF);
    Form->Memory.Buffer[0x0003] = 0x02;
    Form->Memory.Buffer[0x01A0] = 0x00;
    Form->Memory.Buffer[0x1F00] = 0x7E;
    TModalSeen note;
    AnswerNextModal(note);
    ClickMenu(Form->Device1, Form->CompareCodeMemorytoBuffer1);
    WaitForOperation();
    ASSERT_TRUE(WaitUntil([&] { return note.Seen; }));
    EXPECT_TRUE(Form->CompDifForm->grab().save(dir + "differences.png"));

    ClickMenu(Form->Device1, Form->ReadCodeMemorytoBuffer1);
    ASSERT_TRUE(WaitUntil([this] { return Form->Status.Progress >= 40; }));
    Form->Timer1Timer();
    EXPECT_TRUE(Form->grab().save(dir + "main-window.png"));
    WaitForOperation();

    Form->LockBitForm->LB1->setChecked(true);
    Form->LockBitForm->show();
    EXPECT_TRUE(Form->LockBitForm->grab().save(dir + "lock-bits.png"));
    Form->LockBitForm->hide();
    ClickBar(Form->About1);
    EXPECT_TRUE(Form->AboutForm->grab().save(dir + "about.png"));
    Form->HelpForm->ShowHelp(HelpFilePath(KORVEL_BINARY_DIR "/src/app/korvel"));
    EXPECT_TRUE(Form->HelpForm->grab().save(dir + "help.png"));

    // What a load says of a file larger than the chip, and of a damaged one.
    WriteFile("big.bin", std::string(10000, '\x5A'));
    WriteFile("after.hex", ":03000000020130CA\n:00000001FF\n:0100030055A7\n");
    const std::pair<QAction *, const char *> loads[] = {{Form->AsaBinaryFile1, "big.bin"},
                                                       {Form->AsaIntelHexFile1, "after.hex"}};
    for (const auto &[command, name] : loads) {
        bool saved = false;
        QTimer shot;
        shot.setInterval(10);
        QObject::connect(&shot, &QTimer::timeout, [&, name = name] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || saved)
                return;
            saved = box->grab().save(dir + (std::string(name) == "big.bin" ? "note-too-large.png" : "warning-damaged.png"));
            box->button(QMessageBox::Ok)->click();
        });
        shot.start();
        AnswerFileDialog(QString::fromStdString((Dir / name).string()));
        ClickMenu(Form->Buffer1, command);
        EXPECT_TRUE(WaitUntil([&] { return saved; })) << name;
    }
}

TEST_F(MainFormTest, DroppedFileLoadsAfterTheDropAndAnUnkeepableNameIsReportedOnce)
{
    Start();
    const auto entered = [this](const fs::path &path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(Form.get(), &enter);
        return enter.isAccepted();
    };
    fs::create_directory(Dir / "folder");
    ASSERT_EQ(::mkfifo((Dir / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(entered(Dir / "folder"));
    EXPECT_FALSE(entered(Dir / "pipe")) << "reading a pipe would wait for a writer";

    const std::string name = (Dir / "line\nbreak.bin").string();
    WriteFile("line\nbreak.bin", "\x01\x02");
    TModalSeen report;
    auto drop = [&] {
        ASSERT_TRUE(entered(name));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(name))});
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(Form.get(), &dropped);
        EXPECT_TRUE(dropped.isAccepted());
    };
    AnswerNextModal(report);
    drop();
    // The dragging program is answered before anything is loaded or shown.
    EXPECT_EQ(Form->Memory.HighestAddress, 0);
    EXPECT_FALSE(report.Seen);
    ASSERT_TRUE(WaitUntil([&] { return report.Seen; }));
    EXPECT_EQ(Form->Memory.Buffer[1], 2);
    EXPECT_EQ(Form->Memory.HighestAddress, 1);
    EXPECT_EQ(Form->Settings.LastFiletyp, "B");
    EXPECT_TRUE(report.Text.contains("LastFilename")) << report.Text.toStdString();
    const std::string saved = ReadFile(Dir / "korvel.ini");
    EXPECT_NE(saved.find("LastFiletyp=B\r\n"), std::string::npos); // the rest was kept

    bool shownAgain = false;
    QTimer::singleShot(200, [&shownAgain] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            shownAgain = true;
            box->close();
        }
    });
    drop();
    QTest::qWait(300);
    EXPECT_FALSE(shownAgain);
}

TEST_F(MainFormTest, HideMinimisesWithoutATrayAndShowingAgainRunsTheStartUp)
{
    Start();
    Form->Settings.Port = 9; // set up again from the settings file, which still says 1
    ClickBar(Form->Hide1);
    ASSERT_TRUE(WaitUntil([this] { return Form->isMinimized(); }));
    Form->showNormal();
    ASSERT_TRUE(WaitUntil([this] { return Form->Settings.Port == 1; }));
    WaitForOperation();

    ClickBar(Form->Help1);
    EXPECT_TRUE(Form->HelpForm->isVisible());
    const fs::path manual = HelpFilePath(KORVEL_BINARY_DIR "/src/app/korvel");
    EXPECT_EQ(manual.filename(), "Korvel.html");
}

// On a port that cannot be opened, every command that leads to the chip starts nothing and ends with
// one message naming the port and the reason; the idle operation at start says nothing.
TEST_F(MainFormTest, APortThatCannotBeOpenedIsReportedOnceByEveryChipCommand)
{
    PortName = (Dir / "no-such-tty").string();
    WriteFile("fw.bin", "\x01\x02");
    TModalLog log;
    Start("[General]\r\nLastFilename=" + (Dir / "fw.bin").string() + "\r\nLastFiletyp=B\r\n");
    EXPECT_EQ(log.Seen, QStringList{});
    EXPECT_NE(Form->PortProblem().find("no-such-tty"), std::string::npos);

    const QString error = "Error: cannot open serial port " + QString::fromStdString(PortName) +
                          ": No such file or directory";
    const struct {
        const char *Command;
        std::function<void()> Click;
        QStringList Seen;
    } cases[] = {
        {"read", [&] { ClickMenu(Form->Device1, Form->ReadCodeMemorytoBuffer1); }, {error}},
        {"write", [&] { ClickMenu(Form->Device1, Form->ProgramCodeMemoryfromBuffer1); }, {error}},
        {"verify", [&] { ClickMenu(Form->Device1, Form->CompareDataMemorytoBuffer1); }, {error}},
        {"reset", [&] { ClickMenu(Form->Device1, Form->Reset1); }, {error}},
        {"erase",
         [&] { ClickMenu(Form->Device1, Form->ChipErase1); },
         {"Attention: Erase Data and Code memory\nAre you sure ?", error}},
        {"lock bits", [&] { ClickMenu(Form->Device1, Form->WriteLockBits1); }, {"Write Lock Bits: ", error}},
        {"Redo", [&] { QTest::mouseClick(Form->RedoButton, Qt::LeftButton); }, {error}},
    };
    for (const auto &c : cases) {
        log.Seen.clear();
        c.Click();
        QTest::qWait(100);
        EXPECT_EQ(log.Seen, c.Seen) << c.Command;
        EXPECT_EQ(Form->Status.OperationCode, opIdle) << c.Command << " started nothing";
    }
    EXPECT_EQ(Form->Label1->text(), "0.0 s");

    WriteFile("locked-tty", "");
    fs::permissions(Dir / "locked-tty", fs::perms::none);
    Form->Settings.PortName = (Dir / "locked-tty").string();
    log.Seen.clear();
    {
        TUnprivileged nobody;
        QTest::mouseClick(Form->RedoButton, Qt::LeftButton);
    }
    ASSERT_EQ(log.Seen.size(), 1);
    EXPECT_TRUE(log.Seen[0].contains("locked-tty: Permission denied")) << log.Seen[0].toStdString();
    EXPECT_TRUE(log.Seen[0].contains("sudo adduser $USER dialout")) << log.Seen[0].toStdString();
}

// A cdc_acm cable cannot report CTS: with MISO there a chip command starts nothing and says how to
// wire it, as for a port that cannot be opened.
TEST_F(MainFormTest, ACableThatCannotReportMisoStartsNothingAndSaysWhy)
{
    TModalLog log;
    Start();
    Form->PortSession().SetDriverLookup([](const std::string &) {
        TTtyDriver acm;
        acm.Kind = TTtyKind::Usb;
        acm.Driver = "cdc_acm";
        return acm;
    });
    Form->ApplyPortSettings();
    const std::uint64_t requests = Chip().Counters().LineRequests;
    ClickMenu(Form->Device1, Form->ReadCodeMemorytoBuffer1);
    QTest::qWait(100);
    EXPECT_EQ(log.Seen, QStringList{"Error: cdc_acm cannot report CTS: wire MISO to DSR or DCD"});
    EXPECT_EQ(Chip().Counters().LineRequests, requests);
    EXPECT_EQ(Form->ProgressBar1->toolTip(), "cdc_acm cannot report CTS: wire MISO to DSR or DCD");
}

// The terminal's file commands and the chip operations share the port: while one runs, the other's
// commands are off, and a command that is off cannot be triggered.
TEST_F(MainFormTest, FileCommandsAndChipOperationsExcludeEachOther)
{
    Start();
    TDebugForm &terminal = *Form->DebugForm;
    QAction *fileCommands[] = {terminal.OpenBASICfile1, terminal.SendLISTtointerpreterandsavebuffertoaBASICfile1};
    {
        TModalLog log;
        ClickMenu(Form->Device1, Form->ChipErase1); // waits a second after the erase
        ASSERT_TRUE(Form->OperationRunning());
        for (QAction *command : fileCommands) {
            EXPECT_FALSE(command->isEnabled()) << command->text().toStdString();
            command->trigger();
        }
        QTest::qWait(50);
        EXPECT_EQ(log.Seen.size(), 1) << "no file dialog beside the erase's question";
        WaitForOperation();
    }
    for (QAction *command : fileCommands)
        EXPECT_TRUE(command->isEnabled()) << command->text().toStdString();

    // Nothing answers on the virtual chip's port: the upload waits two seconds for its first prompt.
    WriteFile("one.bas", "10 PRINT 1\r\n");
    AnswerFileDialog(QString::fromStdString((Dir / "one.bas").string()));
    bool heldMeanwhile = false;
    bool startedMeanwhile = true;
    QTimer::singleShot(500, [&] {
        heldMeanwhile = !Form->Parameter1->isEnabled() && !Form->Buffer1->menuAction()->isEnabled() &&
                        !Form->Device1->menuAction()->isEnabled() && !Form->RedoButton->isEnabled() &&
                        !Form->EditForm->Button1->isEnabled();
        Form->StartOperation(opReadCode);
        startedMeanwhile = Form->OperationRunning();
    });
    fileCommands[0]->trigger();
    EXPECT_TRUE(heldMeanwhile);
    EXPECT_FALSE(startedMeanwhile);
    ExpectCommandsEnabled(*Form, true);
    EXPECT_TRUE(Form->EditForm->Button1->isEnabled());
}

// Closing the program ends a running file command at once, whether it waits for the target's prompt
// (an upload) or for a target that never falls silent (a listing): nothing more is sent, and the
// unfinished listing is not saved.
TEST_F(MainFormTest, ClosingEndsARunningFileCommandAtOnce)
{
    WriteFile("two.bas", "10 PRINT 1\r\n20 PRINT 2\r\n");
    for (const bool capture : {false, true}) {
        TPtyPair pty;
        PortName = pty.SlavePath();
        Start();
        std::atomic<bool> talking{capture};
        std::thread target([&] {
            while (talking) {
                [[maybe_unused]] const auto sent = ::write(pty.Master(), "10 PRINT 1\r\n", 12);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        QElapsedTimer sinceClose;
        QTimer::singleShot(300, [&] {
            sinceClose.start();
            Form->close();
        });
        AnswerFileDialog(QString::fromStdString((Dir / (capture ? "listing.bas" : "two.bas")).string()));
        (capture ? Form->DebugForm->SendLISTtointerpreterandsavebuffertoaBASICfile1 : Form->DebugForm->OpenBASICfile1)
            ->trigger();
        EXPECT_TRUE(sinceClose.isValid()) << capture;
        EXPECT_LT(sinceClose.elapsed(), 1000) << capture;
        talking = false;
        target.join();
        char sent[64] = {};
        EXPECT_EQ(std::string(sent, std::max<ssize_t>(::read(pty.Master(), sent, sizeof sent), 0)),
                  capture ? "LIST\r\n" : "10 PRINT 1\r");
        EXPECT_FALSE(fs::exists(Dir / "listing.bas"));
        Form.reset();
    }
}

// A batch run writes and then verifies, unattended: it ends with korvel-cli's codes (2 when the chip
// does not hold the file) and says why on standard error, without a box to answer. A file that cannot
// be written and settings no chip operation can run with end it before anything is sent; an image
// another run holds ends it like a busy port.
TEST_F(MainFormTest, ABatchRunVerifiesWhatItWroteAndEndsWithItsReasonOnStandardError)
{
    WriteFile("fw.bin", std::string("\x02\x01\x30\x55", 4));
    const std::string file = (Dir / "fw.bin").string(), image = (Dir / "korvel.ini.sim").string();
    std::unique_ptr<TSimImageLock> held;
    const struct {
        const char *What;
        std::string Settings, File;
        std::function<void()> Before;
        int Exit;
        std::string Said; // on standard error
    } cases[] = {
        {"a sound write", "", file, [] {}, ExitOk, ""},
        {"writes the chip loses", "WriteDelay=0\r\n", file, [] {}, ExitDifferences,
         "korvel: Found differences during Verify !"},
        {"a missing file", "", (Dir / "missing.hex").string(), [] {}, ExitUsage,
         "korvel: Cannot open \"" + (Dir / "missing.hex").string() + "\": No such file or directory\nNothing was written."},
        {"no chip", "[General]\r\nDevice=99\r\n", file, [] {}, ExitUsage, "korvel: Device=99 in [General]"},
        {"a busy image", "", file, [&] { held = std::make_unique<TSimImageLock>(image); }, ExitPort,
         "korvel: Virtual chip image " + image + " is in use"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.What);
        Form.reset();
        held.reset();
        fs::remove(image);
        c.Before();
        testing::internal::CaptureStderr();
        TModalLog log;
        Start(c.Settings, {QString::fromStdString(c.File)});
        EXPECT_TRUE(WaitUntil([&] { return !Form->isVisible(); }));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Form->ExitCode(), c.Exit);
        EXPECT_EQ(said.find(c.Said), c.Said.empty() ? 0u : said.find("korvel: ")) << said;
        if (c.Exit == ExitOk || c.Exit == ExitDifferences)
            EXPECT_EQ(Form->Status.OperationCode, opVerifyCode);
        if (c.Exit == ExitOk) {
            EXPECT_EQ(said, "");
            EXPECT_EQ(log.Seen, QStringList{});
            EXPECT_EQ(std::string(Chip().Contents().Code.begin(), Chip().Contents().Code.begin() + 4),
                      std::string("\x02\x01\x30\x55", 4));
        }
        if (c.Exit == ExitDifferences)
            EXPECT_NE(said.find("Byte $0001 Buffer: $01 Device: $"), std::string::npos) << said;
        if (c.Exit == ExitUsage)
            EXPECT_EQ(log.Seen, QStringList{}) << "nobody is there to answer a box";
    }
}

// Loading in the Buffer menu warns of a file larger than the chip with the chip's own size and the
// bytes left out, names damage the format does not allow, and says how an unusual file was read; a
// dropped file whose first line is a record is read as Intel-HEX, whatever its name. Delays the
// settings file gives beyond the Parameter dialog's ranges are taken as the dialog takes them, and
// said once.
TEST_F(MainFormTest, LoadsWarnOfWhatTheChipWouldNotHoldAndSayHowTheyRead)
{
    QStringList seen;
    QTimer boxes; // answers message boxes only, past the file dialogs
    boxes.setInterval(10);
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            seen << box->windowTitle() + ": " + box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    boxes.start();
    Start("WriteDelay=1e300\r\n[General]\r\nDevice=2\r\n"); // the first line goes into [Delays]
    EXPECT_EQ(seen, QStringList{"Error: WriteDelay=1e300 in [Delays] lies beyond the Parameter dialog's 0 to 999 ms: "
                                "999 ms is used"});
    EXPECT_EQ(Form->Settings.WriteDelay, 999.0);
    EXPECT_NE(ReadFile(Dir / "korvel.ini").find("WriteDelay= 9.99000000000000E+0002"), std::string::npos);

    WriteFile("big.bin", std::string(6000, '\x5A'));
    WriteFile("after.hex", ":03000000020130CA\n:00000001FF\n:0100030055A7\n");
    WriteFile("fw.txt", ":03000000020130CA\r:00000001FF\r");
    const std::pair<QAction *, std::string> loads[] = {{Form->AsaBinaryFile1, "big.bin"},
                                                      {Form->AsaIntelHexFile1, "after.hex"}};
    for (const auto &[command, name] : loads) {
        AnswerFileDialog(QString::fromStdString((Dir / name).string()));
        ClickMenu(Form->Buffer1, command);
        QTest::qWait(50);
    }
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString((Dir / "fw.txt").string()))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(Form.get(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(Form.get(), &drop);
    ASSERT_TRUE(WaitUntil([&] { return seen.size() == 5; })) << seen.join("\n").toStdString();
    const QString dir = QString::fromStdString(Dir.string()) + "/";
    EXPECT_EQ(seen.mid(1),
              (QStringList{"Note: The file you are going to load contains more bytes than\nthe buffer for this device can "
                           "hold! Please note that the\nbuffer contents represents only the first 4096 bytes\nof the file "
                           "contents.\n1904 bytes of it lie beyond the 4096 bytes of the AT89S51's code memory and are left "
                           "out.",
                           "Warning: " + dir + "after.hex: line 3 is damaged (after the end-of-file record)\nThe buffer "
                           "holds what could be read of it.",
                           "Note: " + dir + "fw.txt is read as Intel-HEX: its first line is an Intel-HEX record",
                           "Note: " + dir + "fw.txt: read with CR line ends"}));
    EXPECT_EQ(Form->Memory.HighestAddress, 2);
    EXPECT_EQ(Form->Settings.LastFiletyp, "H");
}

// A Device no chip has starts nothing and says which setting to mend; the file is not changed.
TEST_F(MainFormTest, ADeviceNoChipHasStartsNothingAndNamesTheSetting)
{
    TModalLog log;
    Start("[General]\r\nDevice=99\r\n");
    const std::string before = ReadFile(Dir / "korvel.ini");
    const std::uint64_t requests = Chip().Counters().LineRequests;
    ClickMenu(Form->Device1, Form->ReadCodeMemorytoBuffer1);
    QTest::qWait(100);
    ASSERT_EQ(log.Seen.size(), 1);
    EXPECT_TRUE(log.Seen[0].startsWith("Error: Device=99 in [General] of the settings file names no chip"))
        << log.Seen[0].toStdString();
    EXPECT_EQ(Chip().Counters().LineRequests, requests);
    EXPECT_EQ(ReadFile(Dir / "korvel.ini"), before);
}

// A settle of a minute before every input read (a hand-edited PortSettle) must not hold up the end of
// the program: closing (as SIGTERM does) stops the read at once.
TEST_F(MainFormTest, ClosingDuringAMinuteLongSettleEndsPromptly)
{
    Start();
    Form->Settings.PortSettle = 60000;
    ClickMenu(Form->Device1, Form->ReadCodeMemorytoBuffer1);
    ASSERT_TRUE(WaitUntil([&] { return Form->Status.Busy.load(); }));
    QTest::qWait(200);
    QElapsedTimer timer;
    timer.start();
    Form->close();
    EXPECT_FALSE(Form->OperationRunning());
    EXPECT_LT(timer.elapsed(), 5000);
}
