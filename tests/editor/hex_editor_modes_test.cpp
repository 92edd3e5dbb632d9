// Less common paths of the hex editor: insert mode, Alt entry, layout changes and keys it leaves
// to its host.
#include "hex_editor_fixture.h"

namespace {
using HexEditorModes = HexEditorFixture;
} // namespace

TEST_F(HexEditorModes, InsertKeyWithoutPermissionOnlyDropsTheChangedMarks)
{
    Load(std::vector<uint8_t>(32, 0xFF));
    Type("12");
    ASSERT_TRUE(Editor.Model().Document().IsChanged(0));
    Key(Qt::Key_Insert);
    EXPECT_FALSE(Editor.InsertMode());
    EXPECT_EQ(Editor.CaretStyle(), csFull);
    EXPECT_FALSE(Editor.Model().Document().IsChanged(0));
    Type("3");
    EXPECT_EQ(Editor.ByteCount(), 32) << "still overwriting";
}

TEST_F(HexEditorModes, InsertModeInsertsTypedBytesAndUndoesThem)
{
    Load(Counting(4));
    Editor.SetAllowInsertMode(true);
    Key(Qt::Key_Insert);
    ASSERT_TRUE(Editor.InsertMode());
    EXPECT_EQ(Editor.CaretStyle(), csLeftLine);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right); // byte 1
    Type("A5");
    EXPECT_EQ(Editor.ByteCount(), 5);
    EXPECT_EQ(Editor.GetMemory(1), 0xA5);
    EXPECT_EQ(Editor.GetMemory(2), 1);
    EXPECT_EQ(Editor.Model().CaretByte(), 2);
    Key(Qt::Key_Backspace);
    EXPECT_EQ(Editor.ByteCount(), 4);
    EXPECT_EQ(Editor.GetMemory(1), 1);
    EXPECT_EQ(Editor.UndoText(), "Byte(s) removed");
    Editor.Undo();
    Editor.Undo();
    Editor.Undo();
    EXPECT_EQ(Editor.ByteCount(), 4);
    EXPECT_EQ(Editor.GetMemory(1), 1);
    EXPECT_EQ(Editor.UndoText(), "Insert buffer");
    Editor.SetNoSizeChange(true);
    EXPECT_FALSE(Editor.InsertMode());
    EXPECT_EQ(Editor.CaretStyle(), csFull);
}

TEST_F(HexEditorModes, InsertModeTypesIntoAnEmptyDocument)
{
    Editor.NewDocument("Empty");
    Editor.SetAllowInsertMode(true);
    Key(Qt::Key_Insert);
    Type("7");
    EXPECT_EQ(Editor.ByteCount(), 1);
    EXPECT_EQ(Editor.UndoText(), "Append buffer");
    Editor.Undo();
    EXPECT_EQ(Editor.ByteCount(), 0);
    EXPECT_EQ(Current(), (TCell{2, 0}));
}

TEST_F(HexEditorModes, AltEntryStoresTheKeypadCode)
{
    Load(Counting(32));
    Key(Qt::Key_Tab);
    Send(QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
    for (Qt::Key digit : {Qt::Key_1, Qt::Key_3, Qt::Key_0}) {
        Send(QEvent::KeyPress, digit, Qt::AltModifier | Qt::KeypadModifier);
        Send(QEvent::KeyRelease, digit, Qt::AltModifier | Qt::KeypadModifier);
    }
    Send(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
    EXPECT_EQ(Editor.GetMemory(0), 130);
    EXPECT_EQ(Current(), (TCell{36, 0}));
    QKeyEvent eacute(QEvent::KeyPress, Qt::Key_Eacute, Qt::NoModifier, QString::fromUtf8("\xc3\xa9"));
    QApplication::sendEvent(&Editor, &eacute); // after the entry's character: the ANSI code
    EXPECT_EQ(Editor.GetMemory(1), 0xE9);
}

TEST_F(HexEditorModes, BytesPerLineKeepsTheCaretByte)
{
    Load(Counting(100));
    Editor.SetSelStart(37);
    Key(Qt::Key_Tab);
    Editor.SetBytesPerLine(8);
    EXPECT_EQ(Editor.Model().CaretByte(), 37);
    EXPECT_EQ(Current(), (TCell{8 * 2 + 3 + 5, 4}));
    EXPECT_EQ(Editor.Model().RowCount(), 13);
    Editor.SetBytesPerLine(256);
    EXPECT_EQ(Current(), (TCell{2 * 256 + 3 + 37, 0}));
    EXPECT_THROW(Editor.SetBytesPerLine(257), EHexEditorError);
    EXPECT_EQ(Editor.BytesPerLine(), 256);
}

TEST_F(HexEditorModes, KeysTheEditorDoesNotUseGoToItsHost)
{
    Load(Counting(32));
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_F5}) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Return ? "\r" : "");
        QApplication::sendEvent(&Editor, &event);
        EXPECT_FALSE(event.isAccepted()) << key;
    }
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, "7");
    QApplication::sendEvent(&Editor, &typed);
    EXPECT_TRUE(typed.isAccepted());
}

TEST_F(HexEditorModes, WithoutWantTabsTabLeavesTheControl)
{
    QWidget host;
    auto *editor = new THexEditor(&host);
    auto *next = new QWidget(&host);
    next->setFocusPolicy(Qt::StrongFocus);
    std::vector<uint8_t> bytes(16, 1);
    editor->InsertBuffer(bytes.data(), 16, 0);
    host.show();
    QApplication::setActiveWindow(&host);
    editor->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
    QTest::keyClick(editor, Qt::Key_Tab);
    EXPECT_TRUE(editor->hasFocus());
    EXPECT_EQ(editor->Model().Current().Col, 35);
    editor->SetWantTabs(false);
    QTest::keyClick(editor, Qt::Key_Tab);
    EXPECT_TRUE(next->hasFocus());
    EXPECT_EQ(editor->Model().Current().Col, 35);
}

TEST_F(HexEditorModes, APressOnTheOffsetOrMarkerColumnMovesAndSelectsNothing)
{
    Load(Counting(64));
    Key(Qt::Key_Right);
    for (int col : {0, 1}) {
        QTest::mousePress(Editor.viewport(), Qt::LeftButton, {}, Editor.CellRect(col, 2).center());
        QTest::mouseMove(Editor.viewport(), Editor.CellRect(10, 3).center());
        QTest::mouseRelease(Editor.viewport(), Qt::LeftButton, {}, Editor.CellRect(10, 3).center());
        EXPECT_EQ(Current(), (TCell{3, 0})) << "column " << col;
        EXPECT_EQ(Editor.SelLength(), 0) << "a drag from column " << col;
    }
}
