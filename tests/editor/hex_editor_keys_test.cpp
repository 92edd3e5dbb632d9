// The hex editor driven by real key and mouse events.
#include "hex_editor_fixture.h"

namespace {
using HexEditorTyping = HexEditorFixture;
using HexEditorMoves = HexEditorFixture;
using HexEditorSelection = HexEditorFixture;
} // namespace

TEST_F(HexEditorTyping, TwoDigitsOverwriteHighThenLowAndRecordOneChangeEach)
{
    Load(std::vector<uint8_t>(32, 0xFF));
    Type("4");
    EXPECT_EQ(Editor.GetMemory(0), 0x4F);
    EXPECT_EQ(Current(), (TCell{3, 0}));
    Type("1");
    EXPECT_EQ(Editor.GetMemory(0), 0x41);
    EXPECT_EQ(Current(), (TCell{4, 0})) << "first digit of the next byte";
    EXPECT_EQ(Editor.Model().History().Count(), 3) << "the load and one record per digit";
    EXPECT_EQ(Editor.UndoText(), "Byte changed");
    EXPECT_TRUE(Editor.Model().Document().IsChanged(0));
    Type("a");
    EXPECT_EQ(Editor.GetMemory(1), 0xAF) << "lower-case digits count";
}

TEST_F(HexEditorTyping, EqualDigitRecordsNothingButMoves)
{
    Load(std::vector<uint8_t>(32, 0xFF));
    Type("F");
    EXPECT_EQ(Current(), (TCell{3, 0}));
    EXPECT_EQ(Editor.Model().History().Count(), 1);
    EXPECT_FALSE(Editor.Model().Document().IsChanged(0));
}

TEST_F(HexEditorTyping, NonDigitsAndControlCharactersChangeNothing)
{
    Load(Counting(32));
    Type("g");
    Key(Qt::Key_Space);
    EXPECT_EQ(Editor.GetMemory(0), 0);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    Key(Qt::Key_Tab);
    ASSERT_EQ(Current(), (TCell{35, 0}));
    QTest::keyClick(&Editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&Editor, Qt::Key_Escape);
    QTest::keyClick(&Editor, Qt::Key_Return);
    EXPECT_EQ(Editor.GetMemory(0), 0);
    EXPECT_EQ(Editor.Model().History().Count(), 1);
    Type("Az");
    EXPECT_EQ(Editor.GetMemory(0), 'A');
    EXPECT_EQ(Editor.GetMemory(1), 'z');
    EXPECT_EQ(Current(), (TCell{37, 0}));
}

TEST_F(HexEditorTyping, ReadOnlyViewRefusesTypingAndDelete)
{
    Load(Counting(32));
    Editor.SetReadOnlyView(true);
    Type("7");
    QTest::keyClick(&Editor, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(Editor.GetMemory(0), 0);
    EXPECT_EQ(Editor.ByteCount(), 32);
}

TEST_F(HexEditorTyping, CtrlDeleteWithoutSelectionRemovesTheCaretByte)
{
    auto bytes = Counting(40);
    Load(bytes);
    Type("55"); // byte 0 changed
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    Type("6"); // byte 2 changed, caret on its second digit
    Key(Qt::Key_Left);
    Key(Qt::Key_Left);
    ASSERT_EQ(Editor.SelLength(), 0);
    ASSERT_EQ(Editor.Model().CaretByte(), 1);
    QTest::keyClick(&Editor, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(Editor.ByteCount(), 39);
    EXPECT_EQ(Editor.GetMemory(1), 0x62);
    EXPECT_EQ(Editor.UndoText(), "Byte(s) removed");
    EXPECT_TRUE(Editor.Model().Document().IsChanged(0));
    EXPECT_FALSE(Editor.Model().Document().IsChanged(1)) << "marks from the removed byte on are gone";
    Key(Qt::Key_Delete); // plain Delete does nothing in overwrite mode
    EXPECT_EQ(Editor.ByteCount(), 39);
    Editor.Undo();
    EXPECT_EQ(Editor.ByteCount(), 40);
    EXPECT_EQ(Editor.GetMemory(1), 1);
}

TEST_F(HexEditorMoves, DownStopsAtTheLastRowAndLandsOnTheLastByte)
{
    Load(Counting(40)); // rows 0..2, the last holding bytes 32..39
    Key(Qt::Key_End);
    EXPECT_EQ(Current(), (TCell{32, 0}));
    Key(Qt::Key_Down);
    EXPECT_EQ(Current(), (TCell{32, 1}));
    Key(Qt::Key_Down);
    EXPECT_EQ(Current(), (TCell{16, 2})) << "byte 39, the last";
    Key(Qt::Key_Down);
    EXPECT_EQ(Current(), (TCell{16, 2}));
    Key(Qt::Key_Tab);
    Key(Qt::Key_Right);
    EXPECT_EQ(Current(), (TCell{42, 2})) << "nothing after the last byte";
}

TEST_F(HexEditorMoves, LeftRightWalkDigitsAndBackspaceStaysInTheRow)
{
    Load(Counting(40));
    Key(Qt::Key_Left);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    Key(Qt::Key_Down);
    Key(Qt::Key_Left);
    EXPECT_EQ(Current(), (TCell{33, 0})) << "second digit of the previous byte";
    Key(Qt::Key_Right);
    EXPECT_EQ(Current(), (TCell{2, 1}));
    Key(Qt::Key_Backspace);
    EXPECT_EQ(Current(), (TCell{2, 1})) << "no wrap into the row above";
    Key(Qt::Key_Right);
    Key(Qt::Key_Backspace);
    EXPECT_EQ(Current(), (TCell{2, 1}));
    EXPECT_EQ(Editor.ByteCount(), 40);
}

TEST_F(HexEditorMoves, BackspaceEndsTheSelectionLikeAnyPlainKeyAndExtendsItWithShift)
{
    Load(Counting(40)); // byte 0 selected, caret on its first digit
    ASSERT_EQ(Editor.SelLength(), 1);
    Key(Qt::Key_Backspace);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    EXPECT_EQ(Editor.SelLength(), 0) << "even where there is no cell to the left";

    Key(Qt::Key_Tab);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    ASSERT_EQ(Current(), (TCell{37, 0}));
    WithShiftHeld({Qt::Key_Backspace, Qt::Key_Backspace});
    EXPECT_EQ(Current(), (TCell{35, 0}));
    EXPECT_EQ(Editor.SelStart(), 0);
    EXPECT_EQ(Editor.SelEnd(), 2) << "the anchor stays where Shift went down";
}

TEST_F(HexEditorMoves, HomeEndAndPageKeys)
{
    Load(Counting(4096)); // 256 rows
    const int64_t page = Editor.VisibleRows() - 1;
    ASSERT_GT(page, 2);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    Key(Qt::Key_End);
    EXPECT_EQ(Current(), (TCell{32, 0}));
    Key(Qt::Key_Home);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    Key(Qt::Key_PageDown);
    EXPECT_EQ(Current(), (TCell{2, page}));
    EXPECT_EQ(Editor.TopRow(), page);
    QTest::keyClick(&Editor, Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{2, Editor.TopRow() + Editor.VisibleRows() - 1}));
    QTest::keyClick(&Editor, Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{2, Editor.TopRow()}));
    QTest::keyClick(&Editor, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{32, 255}));
    EXPECT_EQ(Editor.TopRow(), 256 - Editor.VisibleRows());
    Key(Qt::Key_PageDown);
    EXPECT_EQ(Current(), (TCell{32, 255}));
    Key(Qt::Key_PageUp);
    EXPECT_EQ(Current(), (TCell{32, 255 - page}));
    QTest::keyClick(&Editor, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    EXPECT_EQ(Editor.TopRow(), 0);
    QTest::keyClick(&Editor, Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{50, 0})) << "the row's last character";
}

TEST_F(HexEditorMoves, TabSwitchesPanesOnThePartnerCell)
{
    Load(Counting(40));
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right); // second digit of byte 1
    Key(Qt::Key_Tab);
    EXPECT_EQ(Current(), (TCell{36, 0}));
    EXPECT_TRUE(Editor.hasFocus());
    Key(Qt::Key_Backtab);
    EXPECT_EQ(Current(), (TCell{4, 0})) << "first digit of the same byte";
    QTest::keyClick(&Editor, Qt::Key_T, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{36, 0}));
}

TEST_F(HexEditorMoves, MarkersSetAndJumpBack)
{
    Load(Counting(160));
    for (int i = 0; i < 5; ++i)
        Key(Qt::Key_Down);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    QTest::keyClick(&Editor, Qt::Key_3, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Editor.Model().Marker(3), 5);
    QTest::keyClick(&Editor, Qt::Key_Home, Qt::ControlModifier);
    Key(Qt::Key_Right);
    QTest::keyClick(&Editor, Qt::Key_3, Qt::ControlModifier);
    EXPECT_EQ(Current(), (TCell{2, 5}));
    QTest::keyClick(&Editor, Qt::Key_4, Qt::ControlModifier); // unset: the current row
    EXPECT_EQ(Current(), (TCell{2, 5}));
}

// Ctrl+Shift on the digit row as a German layout reports it: the key's symbol, several of them
// elsewhere on a US keyboard, and the X11 key code (the kernel's plus 8) that X11 and Wayland both give.
TEST_F(HexEditorMoves, MarkersTakeTheDigitRowsKeyInAnyLayout)
{
    const std::pair<Qt::Key, QChar> keys[] = {
        {Qt::Key_Equal, u'='},     {Qt::Key_Exclam, u'!'},   {Qt::Key_QuoteDbl, u'"'},  {Qt::Key_section, u'\u00a7'},
        {Qt::Key_Dollar, u'$'},    {Qt::Key_Percent, u'%'},  {Qt::Key_Ampersand, u'&'}, {Qt::Key_Slash, u'/'},
        {Qt::Key_ParenLeft, u'('}, {Qt::Key_ParenRight, u')'}};
    Load(Counting(160));
    for (int digit = 0; digit < 10; ++digit) {
        const int64_t row = 9 - digit;
        Editor.SetSelStart(row * 16);
        const auto [key, symbol] = keys[digit];
        const quint32 keyCode = digit == 0 ? 19 : 9 + digit;
        QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier | Qt::ShiftModifier, keyCode, symbol.unicode(),
                        0x5 /* X11's Shift and Control masks */, QString(symbol));
        QApplication::sendEvent(&Editor, &press);
        ASSERT_EQ(Editor.Model().Marker(digit), row) << "Ctrl+" << QString(symbol).toStdString();
    }
}

TEST_F(HexEditorMoves, MarkerPastTheEndLeavesTheCaret)
{
    Load(Counting(160));
    Editor.SetMarker(2, 9);
    Editor.SetSelStart(20);
    Editor.SetSelEnd(159);
    QTest::keyClick(&Editor, Qt::Key_Delete, Qt::ControlModifier);
    ASSERT_EQ(Editor.Model().RowCount(), 2);
    const TCell before = Current();
    QTest::keyClick(&Editor, Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(Current(), before);
    EXPECT_EQ(Editor.Model().Marker(2), 9) << "kept for when the document grows again";
}

TEST_F(HexEditorSelection, ShiftArrowsExtendFromTheAnchor)
{
    Load(Counting(64));
    Key(Qt::Key_Down);
    ASSERT_EQ(Editor.SelLength(), 0);
    WithShiftHeld({Qt::Key_Right, Qt::Key_Right, Qt::Key_Right});
    EXPECT_EQ(Editor.SelStart(), 16);
    EXPECT_EQ(Editor.SelEnd(), 17);
    WithShiftHeld({Qt::Key_Up});
    EXPECT_EQ(Editor.SelStart(), 1) << "a new Shift starts afresh from the caret";
    EXPECT_EQ(Editor.SelEnd(), 17);
    WithShiftHeld({Qt::Key_Down, Qt::Key_Down});
    EXPECT_EQ(Editor.SelStart(), 1);
    EXPECT_EQ(Editor.SelEnd(), 33) << "the anchor stays at byte 1";
    WithShiftHeld({Qt::Key_Up, Qt::Key_Up, Qt::Key_Up});
    EXPECT_EQ(Editor.SelStart(), 1) << "Up stops at row 0";
    EXPECT_EQ(Editor.SelEnd(), 33);
    EXPECT_EQ(Editor.Model().SelAnchor(), 33);
    Key(Qt::Key_Right);
    EXPECT_EQ(Editor.SelLength(), 0) << "a plain key ends the selection";
}

TEST_F(HexEditorSelection, MouseDragSelectsAndStopsAtTheSeparatorAndTheEnd)
{
    Load(Counting(40));
    QTest::mousePress(Editor.viewport(), Qt::LeftButton, {}, Editor.CellRect(6, 0).center());
    EXPECT_EQ(Current(), (TCell{6, 0}));
    EXPECT_EQ(Editor.SelLength(), 0);
    QTest::mouseMove(Editor.viewport(), Editor.CellRect(11, 1).center());
    EXPECT_EQ(Editor.SelStart(), 2);
    EXPECT_EQ(Editor.SelEnd(), 20);
    QTest::mouseMove(Editor.viewport(), Editor.CellRect(34, 1).center());
    EXPECT_EQ(Current(), (TCell{33, 1})) << "the separator gives the column before it";
    EXPECT_EQ(Editor.SelEnd(), 31);
    QTest::mouseMove(Editor.viewport(), Editor.CellRect(30, 2).center());
    EXPECT_EQ(Current(), (TCell{16, 2})) << "past the end: the last byte";
    EXPECT_EQ(Editor.SelEnd(), 39);
    QTest::mouseRelease(Editor.viewport(), Qt::LeftButton, {}, Editor.CellRect(30, 2).center());
    QTest::mouseMove(Editor.viewport(), Editor.CellRect(4, 0).center());
    EXPECT_EQ(Editor.SelEnd(), 39) << "moving without the button selects nothing";
    QTest::mouseClick(Editor.viewport(), Qt::LeftButton, {}, Editor.CellRect(40, 0).center());
    EXPECT_EQ(Current(), (TCell{40, 0}));
    EXPECT_EQ(Editor.SelLength(), 0);
}

TEST_F(HexEditorSelection, StateNotificationsArriveOncePerPosting)
{
    Load(Counting(64));
    int calls = 0;
    Editor.OnStateChanged = [&calls] { ++calls; };
    Type("1");
    EXPECT_EQ(calls, 0) << "posted, not called at once";
    QApplication::processEvents();
    EXPECT_GE(calls, 1);
    const int afterTyping = calls;
    Key(Qt::Key_Right);
    QApplication::processEvents();
    EXPECT_EQ(calls, afterTyping) << "a plain move changes no state";
}
