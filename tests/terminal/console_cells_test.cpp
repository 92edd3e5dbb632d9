#include "terminal/console_cells.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct TInvalidated {
    int Row, First, End;
};

// Records what the model asks of its window; deferring is switched on by CanDefer.
class TRecordingHost : public TConsoleHost {
public:
    void InvalidateCells(int row, int firstCol, int endCol) override
    {
        Invalidated.push_back({row, firstCol, endCol});
    }
    void Beep() override { ++Beeps; }
    void ViewScrolled(int dCols, int dRows) override { Scrolls.push_back({dCols, dRows}); }
    bool CanPost() const override { return CanDefer; }
    void PostDeferred() override { ++Posts; }

    bool CanDefer = false;
    std::vector<TInvalidated> Invalidated;
    std::vector<std::pair<int, int>> Scrolls;
    int Beeps = 0;
    int Posts = 0;
};

void Write(TConsoleCells &cells, const std::string &text)
{
    cells.ProcessBuffer(text.data(), text.size());
}

std::string Trimmed(const TConsoleCells &cells, int row)
{
    std::string text(cells.Row(row));
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

} // namespace

TEST(ConsoleWriter, CrlfModeKeepsColumnOnLineFeedAndReturnOnlyOnCarriageReturn)
{
    TConsoleCells cells(10, 5);
    Write(cells, "AB\nC");
    EXPECT_EQ(Trimmed(cells, 0), "AB");
    EXPECT_EQ(Trimmed(cells, 1), "  C");
    EXPECT_EQ(cells.CursorCol(), 3);
    EXPECT_EQ(cells.CursorRow(), 1);

    TConsoleCells overwrite(10, 5);
    Write(overwrite, "AB\rC");
    EXPECT_EQ(Trimmed(overwrite, 0), "CB");
    EXPECT_EQ(overwrite.CursorRow(), 0);
}

TEST(ConsoleWriter, LfAndCrModesStartTheNextRowAtColumnZero)
{
    TConsoleCells lf(10, 5);
    lf.SetLineBreak(TConsoleLineBreak::LF);
    Write(lf, "AB\nC\rD");
    EXPECT_EQ(Trimmed(lf, 0), "AB");
    EXPECT_EQ(Trimmed(lf, 1), "D") << "CR alone only returns in LF mode";

    TConsoleCells cr(10, 5);
    cr.SetLineBreak(TConsoleLineBreak::CR);
    Write(cr, "AB\rC\nD");
    EXPECT_EQ(Trimmed(cr, 0), "AB");
    EXPECT_EQ(Trimmed(cr, 1), "C");
    EXPECT_EQ(Trimmed(cr, 2), " D") << "LF alone keeps the column in CR mode";
}

TEST(ConsoleWriter, BackspaceBlanksThePreviousCellAndStopsAtColumnZero)
{
    TConsoleCells cells(10, 5);
    Write(cells, "\bABC\b");
    EXPECT_EQ(Trimmed(cells, 0), "AB");
    EXPECT_EQ(cells.CursorCol(), 2);
    Write(cells, "\b\b\b\bX");
    EXPECT_EQ(Trimmed(cells, 0), "X");
    EXPECT_EQ(cells.CursorRow(), 0) << "backspace never moves to the previous row";
}

TEST(ConsoleWriter, OtherControlCodesLeaveNoTraceAndBellBeeps)
{
    TRecordingHost host;
    TConsoleCells cells(10, 5);
    cells.SetHost(&host);
    Write(cells, std::string("A\tB\x01\x1b\x1f\x00\aC", 10));
    EXPECT_EQ(Trimmed(cells, 0), "ABC");
    EXPECT_EQ(cells.CursorCol(), 3);
    EXPECT_EQ(host.Beeps, 1);
}

TEST(ConsoleWriter, BytesFromHex80UpArePrintable)
{
    TConsoleCells cells(10, 5);
    Write(cells, "\x80\xe4\xff");
    EXPECT_EQ(cells.Row(0).substr(0, 3), "\x80\xe4\xff");
    EXPECT_EQ(cells.CursorCol(), 3);
}

TEST(ConsoleWriter, ExactlyColsCharactersWrapAtOnce)
{
    TConsoleCells cells(8, 5);
    Write(cells, "12345678");
    EXPECT_EQ(Trimmed(cells, 0), "12345678");
    EXPECT_EQ(cells.CursorCol(), 0);
    EXPECT_EQ(cells.CursorRow(), 1);

    Write(cells, "abcdefghij");
    EXPECT_EQ(Trimmed(cells, 1), "abcdefgh");
    EXPECT_EQ(Trimmed(cells, 2), "ij");

    Write(cells, "\r");
    Write(cells, "ABCDEFGH\r\nZ");
    EXPECT_EQ(Trimmed(cells, 2), "ABCDEFGH");
    EXPECT_EQ(Trimmed(cells, 3), "") << "a full row followed by CR LF leaves an empty row";
    EXPECT_EQ(Trimmed(cells, 4), "Z");
}

TEST(ConsoleWriter, InvalidatesOnceForEachRowTouched)
{
    TRecordingHost host;
    TConsoleCells cells(20, 5);
    cells.SetHost(&host);
    Write(cells, "Hello");
    ASSERT_EQ(host.Invalidated.size(), 1u);
    EXPECT_EQ(host.Invalidated[0].Row, 0);
    EXPECT_EQ(host.Invalidated[0].First, 0);
    EXPECT_EQ(host.Invalidated[0].End, 6) << "the range reaches the new cursor cell";

    host.Invalidated.clear();
    Write(cells, "\r\nab\r\ncd");
    ASSERT_EQ(host.Invalidated.size(), 3u);
    EXPECT_EQ(host.Invalidated[0].Row, 0);
    EXPECT_EQ(host.Invalidated[1].Row, 1);
    EXPECT_EQ(host.Invalidated[1].First, 0);
    EXPECT_EQ(host.Invalidated[1].End, 2);
    EXPECT_EQ(host.Invalidated[2].Row, 2);
}

TEST(ConsoleWriter, ACursorMovedBackRepaintsTheCellItLeft)
{
    TRecordingHost host;
    TConsoleCells cells(20, 5);
    cells.SetHost(&host);
    for (const char *move : {"\r", "\b"}) {
        Write(cells, "abc");
        host.Invalidated.clear();
        Write(cells, move);
        ASSERT_EQ(host.Invalidated.size(), 1u);
        EXPECT_LE(host.Invalidated[0].First, cells.CursorCol());
        EXPECT_EQ(host.Invalidated[0].End, 4) << "after " << int(move[0]);
        Write(cells, "\r");
    }
}

TEST(ConsoleRing, OldestRowsScrollOutInOrder)
{
    TConsoleCells cells(10, 3);
    Write(cells, "1\r\n2\r\n3\r\n4\r\n5");
    EXPECT_EQ(Trimmed(cells, 0), "3");
    EXPECT_EQ(Trimmed(cells, 1), "4");
    EXPECT_EQ(Trimmed(cells, 2), "5");
    EXPECT_EQ(cells.FirstLine(), 2);
    EXPECT_EQ(cells.CursorRow(), 2);
}

TEST(ConsoleRing, FiveThousandLineFeedsDropTheFirstRowAndKeepTheCursorInView)
{
    for (bool lazy : {false, true}) {
        TRecordingHost host;
        host.CanDefer = lazy;
        TConsoleCells cells(120, 5000);
        cells.SetHost(&host);
        cells.SetViewSize(120, 40);
        Write(cells, "first");
        for (int i = 0; i < 5000; ++i) {
            Write(cells, "\n");
            if (lazy && host.Posts > 0) {
                cells.RunDeferred();
                host.Posts = 0;
            }
        }
        cells.RunDeferred();
        EXPECT_EQ(cells.CursorRow(), 4999);
        EXPECT_EQ(cells.FirstLine(), 1);
        for (int row = 0; row < cells.Rows(); ++row)
            ASSERT_EQ(Trimmed(cells, row), "") << "row " << row << (lazy ? " lazy" : "");
        EXPECT_EQ(cells.ScrollRow(), 5000 - 40);
        EXPECT_LE(cells.ScrollRow(), cells.CursorRow());
        EXPECT_GT(cells.ScrollRow() + cells.VisibleRows(), cells.CursorRow());
    }
}

TEST(ConsoleRing, AdvanceKeepsTheViewOnTheSameTextUntilTheScrollRuns)
{
    TRecordingHost host;
    host.CanDefer = true;
    TConsoleCells cells(10, 20);
    cells.SetHost(&host);
    cells.SetViewSize(10, 10);
    cells.ScrollTo(0, 10);
    Write(cells, std::string(19, '\n') + "last");
    cells.RunDeferred();
    host.Scrolls.clear();
    Write(cells, "\nnew");
    EXPECT_EQ(cells.ScrollRow(), 9) << "same text shown while the scroll is pending";
    EXPECT_EQ(Trimmed(cells, 18), "last");
    EXPECT_EQ(Trimmed(cells, 19), "    new");
    EXPECT_EQ(cells.PendingScrollRows(), 1);
    cells.RunDeferred();
    EXPECT_EQ(cells.ScrollRow(), 10);
    ASSERT_EQ(host.Scrolls.size(), 1u);
    EXPECT_EQ(host.Scrolls[0], std::make_pair(0, 1));
}

TEST(ConsoleKeys, SixtyFifthKeyIsDroppedAndOrderIsKept)
{
    TKeyBuffer keys;
    for (int i = 0; i < 64; ++i)
        EXPECT_TRUE(keys.Push(static_cast<char>('0' + i)));
    EXPECT_FALSE(keys.Push('!'));
    EXPECT_EQ(keys.Count(), 64);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(keys.Pop(), static_cast<char>('0' + i));
    EXPECT_TRUE(keys.Empty());
    EXPECT_TRUE(keys.Push('x'));
    EXPECT_EQ(keys.Pop(), 'x');
}

TEST(ConsoleView, ScrollToClampsAndReportsTheMove)
{
    TRecordingHost host;
    TConsoleCells cells(100, 50);
    cells.SetHost(&host);
    cells.SetViewSize(30, 20);
    EXPECT_EQ(cells.MaxScrollCol(), 70);
    EXPECT_EQ(cells.MaxScrollRow(), 30);
    cells.ScrollTo(500, -3);
    EXPECT_EQ(cells.ScrollCol(), 70);
    EXPECT_EQ(cells.ScrollRow(), 0);
    cells.ScrollTo(70, 0);
    cells.ScrollTo(60, 45);
    ASSERT_EQ(host.Scrolls.size(), 2u) << "an unchanged position reports nothing";
    EXPECT_EQ(host.Scrolls[1], std::make_pair(-10, 30));

    cells.SetViewSize(200, 100);
    EXPECT_EQ(cells.ScrollCol(), 0);
    EXPECT_EQ(cells.ScrollRow(), 0);
    EXPECT_EQ(cells.MaxScrollRow(), 0);
}

TEST(ConsoleView, TrackCursorScrollsTheLeastAmount)
{
    TConsoleCells cells(100, 50);
    cells.SetViewSize(30, 20);
    cells.SetOptions(DefaultConsoleOptions & ~coAutoTracking);
    Write(cells, std::string(25, '\n') + std::string(40, 'x'));
    cells.TrackCursor();
    EXPECT_EQ(cells.ScrollRow(), 25 - 20 + 1);
    EXPECT_EQ(cells.ScrollCol(), 40 - 30 + 1);

    cells.ScrollTo(50, 40);
    cells.TrackCursor();
    EXPECT_EQ(cells.ScrollRow(), 25);
    EXPECT_EQ(cells.ScrollCol(), 40);

    cells.ScrollTo(30, 10);
    cells.TrackCursor();
    EXPECT_EQ(cells.ScrollRow(), 10) << "a visible cursor moves nothing";
    EXPECT_EQ(cells.ScrollCol(), 30);
}

TEST(ConsoleLazy, TrackAndScrollRequestsMergeIntoOnePost)
{
    TRecordingHost host;
    host.CanDefer = true;
    TConsoleCells cells(80, 100);
    cells.SetHost(&host);
    cells.SetViewSize(80, 20);
    cells.ScrollTo(0, 80);
    Write(cells, std::string(99, '\n'));
    cells.RunDeferred();
    host.Scrolls.clear();
    host.Posts = 0;

    for (int i = 0; i < 9; ++i)
        Write(cells, "line\r\n");
    EXPECT_EQ(host.Posts, 1) << "one pending request at a time";
    EXPECT_TRUE(cells.TrackPending());
    EXPECT_EQ(cells.PendingScrollRows(), 9);
    EXPECT_TRUE(host.Scrolls.empty());

    Write(cells, "line\r\n");
    ASSERT_EQ(host.Scrolls.size(), 1u) << "half a screen is scrolled at once";
    EXPECT_EQ(host.Scrolls[0], std::make_pair(0, 10));
    EXPECT_EQ(cells.PendingScrollRows(), 0);
    EXPECT_EQ(cells.ScrollRow(), 80);

    cells.RunDeferred();
    EXPECT_FALSE(cells.TrackPending());
    EXPECT_EQ(host.Scrolls.size(), 1u) << "the cursor was already in view";
    Write(cells, "x");
    EXPECT_EQ(host.Posts, 2);
}

TEST(ConsoleLazy, WithoutLazyWriteEveryScrollHappensAtOnce)
{
    TRecordingHost host;
    host.CanDefer = true;
    TConsoleCells cells(80, 10);
    cells.SetHost(&host);
    cells.SetOptions(DefaultConsoleOptions & ~coLazyWrite);
    cells.SetViewSize(80, 4);
    Write(cells, "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n12");
    EXPECT_EQ(host.Posts, 0);
    EXPECT_EQ(cells.ScrollRow(), 6);
    EXPECT_EQ(Trimmed(cells, cells.ScrollRow() + 3), "12");
}

TEST(ConsoleState, ResizeAndClearStartOver)
{
    TRecordingHost host;
    host.CanDefer = true;
    TConsoleCells cells(10, 4);
    cells.SetHost(&host);
    cells.SetViewSize(10, 4);
    Write(cells, "a\r\nb\r\nc\r\nd\r\ne");
    EXPECT_EQ(cells.FirstLine(), 1);
    EXPECT_EQ(cells.PendingScrollRows(), 1);

    cells.Clear();
    EXPECT_EQ(cells.FirstLine(), 1) << "Clear keeps the ring's origin";
    EXPECT_EQ(cells.CursorRow(), 0);
    EXPECT_EQ(cells.PendingScrollRows(), 0);
    cells.RunDeferred();
    EXPECT_EQ(cells.ScrollRow(), 0);
    for (int row = 0; row < 4; ++row)
        EXPECT_EQ(Trimmed(cells, row), "");

    Write(cells, "xyz");
    cells.SetSize(0, -5);
    EXPECT_EQ(cells.Cols(), 1);
    EXPECT_EQ(cells.Rows(), 1);
    Write(cells, "ab\r\nc");
    EXPECT_EQ(cells.CursorCol(), 0);
    EXPECT_EQ(cells.CursorRow(), 0);
    cells.SetSize(6, 3);
    EXPECT_EQ(cells.FirstLine(), 0);
    EXPECT_EQ(cells.CursorCol(), 0);
    EXPECT_EQ(Trimmed(cells, 0), "");
}

TEST(ConsoleState, FillCellsContinuesIntoFollowingRows)
{
    TConsoleCells cells(4, 3);
    cells.FillCells(2, 0, '#', 7);
    EXPECT_EQ(cells.Row(0), "  ##");
    EXPECT_EQ(cells.Row(1), "####");
    EXPECT_EQ(cells.Row(2), "#   ");
    cells.FillCells(0, 2, '*', 100);
    EXPECT_EQ(cells.Row(2), "****") << "never beyond the last row";
}
