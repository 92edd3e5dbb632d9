// The Edit Buffer window driven by real key and mouse events against a real buffer, and reloaded by
// the real programming thread at the end of a chip read.
#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "editor/edit_form.h"
#include "editor/hex_editor.h"
#include "modal_answer.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

std::uint8_t Pattern(std::size_t i)
{
    return static_cast<std::uint8_t>(i * 7 + (i >> 8));
}

// The GUI's way of running the reload step: on the UI thread while the programming thread waits.
class TFormUi : public TProgUi {
public:
    explicit TFormUi(TEditForm &form) : Form(form) {}
    void ClearDifferences() override {}
    void AddDifferenceLine(int, std::uint8_t, std::uint8_t) override {}
    void RefreshEditWindow() override
    {
        QMetaObject::invokeMethod(&Form, [this] { Form.RefreshEditWindow(); }, Qt::BlockingQueuedConnection);
    }
    void ShowElapsed(double) override {}
    void OperationFinished() override {}

private:
    TEditForm &Form;
};

class EditFormTest : public testing::Test {
protected:
    EditFormTest()
    {
        for (std::size_t i = 0; i < BufferSize; ++i)
            Memory.Buffer[i] = Pattern(i);
    }

    void Open()
    {
        Form.ShowWindow();
        QApplication::setActiveWindow(&Form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
    }
    void Click(QWidget *button) { QTest::mouseClick(button, Qt::LeftButton); }
    // Puts the caret on the byte's first digit with the mouse.
    void ClickByte(int64_t byte)
    {
        const TCell cell = Editor().Model().Layout().ByteToCell(byte, TPane::Hex);
        QTest::mouseClick(Editor().viewport(), Qt::LeftButton, {}, Editor().CellRect(cell.Col, cell.Row).center());
    }
    void Type(const char *text) { QTest::keyClicks(Form.HexEd, text); }
    THexEditor &Editor() { return *Form.HexEd; }
    std::uint8_t Shown(int64_t byte) { return Editor().GetMemory(byte); }
    bool Coloured(int64_t byte) { return Editor().Model().Document().IsChanged(byte); }
    TCell Caret() { return Editor().Model().Current(); }

    TMemoryBuffer Memory;
    TSettings Settings;
    TProgStatus Status;
    TEditForm Form{Memory, Settings, Status};
};

} // namespace

TEST_F(EditFormTest, ButtonsSitRightToLeftAtTheBottomRightAndTabFromOkToTheEditor)
{
    Open();
    EXPECT_EQ(Form.windowTitle(), "Edit Buffer");
    EXPECT_EQ(Form.size(), QSize(511, 128));
    EXPECT_EQ(Form.minimumSize(), QSize(205, 102));
    EXPECT_EQ(QApplication::focusWidget(), Form.HexEd) << "typing works at once";
    const QPushButton *rightToLeft[] = {Form.Button1, Form.Button2, Form.Button3, Form.Button4};
    const char *captions[] = {"&Ok", "&Exit", "&Undo", "&Grid"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rightToLeft[i]->text(), captions[i]);
        EXPECT_EQ(rightToLeft[i]->size(), QSize(41, 25));
        if (i > 0) {
            EXPECT_LT(rightToLeft[i]->x(), rightToLeft[i - 1]->x());
        }
    }
    const QPoint okFromCorner = QPoint(Form.width(), Form.height()) - Form.Button1->mapTo(&Form, QPoint());
    Form.resize(700, 300);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form.Panel1->y() == 300 - 33; }));
    EXPECT_EQ(QPoint(700, 300) - Form.Button1->mapTo(&Form, QPoint()), okFromCorner);
    EXPECT_EQ(Form.HexEd->geometry(), QRect(0, 0, 700, 300 - 33));

    Form.Button1->setFocus();
    for (QWidget *next : {static_cast<QWidget *>(Form.Button2), static_cast<QWidget *>(Form.Button3),
                          static_cast<QWidget *>(Form.Button4), static_cast<QWidget *>(Form.HexEd)}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
}

TEST_F(EditFormTest, OkWritesBackTypedBytesAndSetsWholeDeviceOnlyForAChange)
{
    Memory.Buffer[5] = 0x23;
    auto expected = Memory.Buffer;
    Open();
    ClickByte(5);
    Type("23"); // the value it already has
    Click(Form.Button1);
    EXPECT_FALSE(Form.isVisible());
    EXPECT_EQ(Memory.Buffer, expected);
    EXPECT_FALSE(Memory.WholeDevice);

    Open();
    ClickByte(5);
    Type("ab");
    Click(Form.Button1);
    EXPECT_FALSE(Form.isVisible());
    expected[5] = 0xAB;
    EXPECT_EQ(Memory.Buffer, expected);
    EXPECT_TRUE(Memory.WholeDevice);
}

TEST_F(EditFormTest, ExitDropsTheEditsAndReopeningShowsTheBufferUncolouredFromByteZero)
{
    const auto before = Memory.Buffer;
    Open();
    ClickByte(20);
    Type("ab");
    ASSERT_TRUE(Coloured(20));
    Click(Form.Button2);
    EXPECT_FALSE(Form.isVisible());
    EXPECT_EQ(Memory.Buffer, before);

    Open();
    EXPECT_EQ(Shown(20), before[20]);
    EXPECT_FALSE(Coloured(20));
    EXPECT_EQ(Caret(), (TCell{2, 0}));
    EXPECT_EQ(Editor().SelStart(), 0);
    EXPECT_EQ(Editor().SelEnd(), 0);
}

TEST_F(EditFormTest, UndoRevertsTypedDigitsOneAtATimeButNeverTheLoad)
{
    Memory.Buffer[0] = 0xFF;
    Open();
    Click(Form.Button3);
    EXPECT_EQ(Editor().ByteCount(), 8192);
    ClickByte(0);
    Type("41");
    ASSERT_EQ(Shown(0), 0x41);
    Click(Form.Button3);
    EXPECT_EQ(Shown(0), 0x4F);
    Click(Form.Button3);
    EXPECT_EQ(Shown(0), 0xFF);
    Click(Form.Button3);
    EXPECT_EQ(Shown(0), 0xFF);
    EXPECT_EQ(Editor().ByteCount(), 8192);
    EXPECT_EQ(Editor().UndoText(), "Insert buffer");
}

TEST_F(EditFormTest, AnOpenWindowIsOnlyRaisedByShowingButReloadedByARefresh)
{
    Open();
    Editor().SetMarker(3, 10);
    Click(Form.Button4);
    ClickByte(40);
    Type("ab");
    Form.ShowWindow();
    EXPECT_EQ(Shown(40), 0xAB) << "showing an open window keeps its edits";

    Memory.Buffer[40] = 0x11;
    Form.RefreshEditWindow();
    EXPECT_EQ(Shown(40), 0x11);
    EXPECT_FALSE(Coloured(40));
    EXPECT_EQ(Editor().UndoText(), "Insert buffer");
    EXPECT_EQ(Caret(), (TCell{2, 0}));
    EXPECT_EQ(Editor().Model().Marker(3), 10);
    EXPECT_EQ(Editor().GridLineWidth(), 1);

    Click(Form.Button2);
    Form.RefreshEditWindow();
    EXPECT_FALSE(Form.isVisible()) << "a refresh leaves a closed window closed";
    Open();
    EXPECT_EQ(Editor().GridLineWidth(), 1) << "the grid survives closing";
    Click(Form.Button4);
    EXPECT_EQ(Editor().GridLineWidth(), 0);
}

TEST_F(EditFormTest, ShowsTheDeviceKindsCodeMemoryWithALengthTheUserCannotChange)
{
    Open();
    EXPECT_EQ(Editor().ByteCount(), 8192);
    Settings.Device = 1;
    Form.RefreshEditWindow();
    EXPECT_EQ(Editor().ByteCount(), 12288);
    EXPECT_EQ(Editor().Model().RowCount(), 768);
    EXPECT_EQ(Editor().Model().OffsetTextOf(767), "0x2FF0:");
    QTest::keyClick(Form.HexEd, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(Editor().ByteCount(), 12288) << "Ctrl+Delete would leave Ok short of bytes";
    Settings.Device = 7;
    Form.RefreshEditWindow();
    EXPECT_EQ(Editor().ByteCount(), 16);
}

TEST_F(EditFormTest, OkIsDisabledAndRefusedWhileAnOperationRuns)
{
    const auto before = Memory.Buffer;
    Open();
    ClickByte(1);
    Type("ab");
    Status.Busy = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form.Button1->isEnabled(); }));
    Form.Button1Click();
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Memory.Buffer, before);
    EXPECT_FALSE(Memory.WholeDevice);

    Status.Busy = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form.Button1->isEnabled(); }));
    Click(Form.Button1);
    EXPECT_EQ(Memory.Buffer[1], 0xAB);
}

// Ok finds fewer bytes than the device kind now needs when the kind changed without a reload.
TEST_F(EditFormTest, AnEditorErrorIsShownAndOkThenStoresNothing)
{
    const auto before = Memory.Buffer;
    Open();
    ClickByte(1);
    Type("ab");
    Settings.Device = 1;
    TModalSeen seen;
    AnswerNextModal(seen);
    Click(Form.Button1);
    EXPECT_EQ(seen.Text, "Invalid GetMemory index");
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Memory.Buffer, before) << "not even the bytes before the missing one";
    EXPECT_FALSE(Memory.WholeDevice);
}

TEST_F(EditFormTest, AChipReadWhileTheWindowIsOpenEndsWithTheBytesJustRead)
{
    Settings.ResetDelay1 = Settings.ResetDelay2 = 0.1;
    TVirtualTarget target(Settings);
    TSimImage image = TSimImage::Erased(target.Chip().Kind());
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(~Pattern(i));
    target.Chip().SetContents(image);
    Open();
    ClickByte(2);
    Type("ab");

    TFormUi ui(Form);
    TProgContext context{Status, Memory, Settings, target.Lines(), ui, [] {}};
    TProgRunner runner(context);
    ASSERT_TRUE(runner.StartOperation(opReadCode));
    while (runner.Running())
        QTest::qWait(5);
    runner.WaitForEnd();

    const auto &chip = target.Chip().Contents().Code;
    for (int i = 0; i < 8192; ++i)
        ASSERT_EQ(Shown(i), chip[static_cast<std::size_t>(i)]) << i;
    EXPECT_NE(Shown(100), Pattern(100)) << "the window shows the chip, not the old buffer";
    EXPECT_FALSE(Coloured(2));
}

// Writes docs/edit-buffer.png of the window with a few changed bytes when asked to.
TEST_F(EditFormTest, Screenshot)
{
    const char *folder = std::getenv("KORVEL_SCREENSHOT_DIR");
    if (!folder)
        GTEST_SKIP() << "KORVEL_SCREENSHOT_DIR names no folder to write the screenshot into";
    Memory.Buffer.fill(0xFF);
    LoadHexFile(Memory, 0, KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", true, {});
    Form.ShowWindow();
    // Without a window manager (xvfb) the window is exposed but may never count as active.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    Form.activateWindow();
    ClickByte(0x13);
    Type("0275");
    ClickByte(0x26);
    Type("E4");
    QTest::qWait(50);
    ASSERT_TRUE(Form.grab().save(QString(folder) + "/edit-buffer.png"));
}
