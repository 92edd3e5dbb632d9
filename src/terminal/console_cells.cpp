#include "terminal/console_cells.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char Blank = ' ';

bool Printable(char ch)
{
    return static_cast<unsigned char>(ch) >= 0x20;
}
} // namespace

bool TKeyBuffer::Push(char key)
{
    if (Used == Capacity)
        return false;
    Keys[Used++] = key;
    return true;
}

char TKeyBuffer::Pop()
{
    const char key = Keys[0];
    std::memmove(Keys, Keys + 1, static_cast<std::size_t>(--Used));
    return key;
}

TConsoleCells::TConsoleCells(int cols, int rows)
{
    SetSize(cols, rows);
}

void TConsoleCells::SetSize(int cols, int rows)
{
    ColCount = std::max(1, cols);
    RowCount = std::max(1, rows);
    Cells.assign(static_cast<std::size_t>(ColCount) * static_cast<std::size_t>(RowCount), Blank);
    First = CurCol = CurRow = PosCol = PosRow = 0;
    DropPending();
    SetViewSize(VisCols, VisRows);
}

std::size_t TConsoleCells::Index(int col, int row) const
{
    const int physical = (row + First) % RowCount;
    return static_cast<std::size_t>(physical) * static_cast<std::size_t>(ColCount) +
           static_cast<std::size_t>(col);
}

std::string_view TConsoleCells::Row(int row) const
{
    return {Cells.data() + Index(0, row), static_cast<std::size_t>(ColCount)};
}

void TConsoleCells::PutCells(int col, int row, const char *chars, int count)
{
    count = std::min(count, ColCount - col);
    if (count > 0)
        std::memcpy(Cells.data() + Index(col, row), chars, static_cast<std::size_t>(count));
}

void TConsoleCells::FillCells(int col, int row, char ch, int count)
{
    while (count > 0 && row < RowCount) {
        const int run = std::min(count, ColCount - col);
        std::memset(Cells.data() + Index(col, row), ch, static_cast<std::size_t>(run));
        count -= run;
        col = 0;
        ++row;
    }
}

void TConsoleCells::Clear()
{
    std::fill(Cells.begin(), Cells.end(), Blank);
    CurCol = CurRow = PosCol = PosRow = 0;
    // A pending scroll corrects for rows that are blank now; performing it would move the view away.
    PendingCols = PendingRows = 0;
}

void TConsoleCells::ProcessBuffer(const char *buffer, std::size_t count)
{
    // The cell the cursor leaves loses its underline, so it is repainted too.
    DirtyFirst = CurCol;
    DirtyEnd = CurCol + 1;
    std::size_t next = 0;
    while (next < count) {
        const std::size_t room = static_cast<std::size_t>(ColCount - CurCol);
        std::size_t run = 0;
        while (run < room && next + run < count && Printable(buffer[next + run]))
            ++run;
        if (run > 0) {
            PutCells(CurCol, CurRow, buffer + next, static_cast<int>(run));
            Touch(CurCol, CurCol + static_cast<int>(run));
            CurCol += static_cast<int>(run);
            next += run;
        }
        if (CurCol >= ColCount) {
            CarriageReturn();
            LineFeed();
        } else if (next < count) {
            ControlCode(buffer[next++]);
        }
    }
    FlushDirty();
    if (Opts & coAutoTracking)
        RequestTrack();
}

void TConsoleCells::ControlCode(char code)
{
    switch (code) {
    case 7:
        if (Host)
            Host->Beep();
        break;
    case 8:
        Backspace();
        break;
    case 10:
        if (Break == TConsoleLineBreak::LF)
            CarriageReturn();
        LineFeed();
        break;
    case 13:
        CarriageReturn();
        if (Break == TConsoleLineBreak::CR)
            LineFeed();
        break;
    default:
        break;
    }
}

void TConsoleCells::Backspace()
{
    if (CurCol == 0)
        return;
    --CurCol;
    FillCells(CurCol, CurRow, Blank, 1);
    Touch(CurCol, CurCol + 1);
}

// The cursor cell is part of every touched range, so the underline follows the cursor when painted.
void TConsoleCells::Touch(int firstCol, int endCol)
{
    DirtyFirst = std::min(DirtyFirst, firstCol);
    DirtyEnd = std::max(DirtyEnd, endCol);
}

void TConsoleCells::FlushDirty()
{
    Touch(CurCol, std::min(CurCol + 1, ColCount));
    if (Host && DirtyEnd > DirtyFirst)
        Host->InvalidateCells(CurRow, DirtyFirst, DirtyEnd);
    DirtyFirst = DirtyEnd = CurCol;
}

void TConsoleCells::LineFeed()
{
    FlushDirty();
    if (CurRow + 1 < RowCount)
        ++CurRow;
    else
        AdvanceRing();
    DirtyFirst = DirtyEnd = CurCol;
}

// The oldest row becomes the new, blank last row. The view position drops by one so that it still
// shows the same text, and the requested scroll then moves that text up by a line.
void TConsoleCells::AdvanceRing()
{
    First = (First + 1) % RowCount;
    FillCells(0, RowCount - 1, Blank, ColCount);
    --PosRow;
    RequestScroll(0, 1);
}

void TConsoleCells::SetViewSize(int visibleCols, int visibleRows)
{
    VisCols = std::max(0, visibleCols);
    VisRows = std::max(0, visibleRows);
    MaxCol = std::max(0, ColCount - VisCols);
    MaxRow = std::max(0, RowCount - VisRows);
    ScrollTo(PosCol, PosRow);
}

void TConsoleCells::ScrollTo(int col, int row)
{
    col = std::clamp(col, 0, MaxCol);
    row = std::clamp(row, 0, MaxRow);
    if (col == PosCol && row == PosRow)
        return;
    const int dCols = col - PosCol;
    const int dRows = row - PosRow;
    PosCol = col;
    PosRow = row;
    if (Host)
        Host->ViewScrolled(dCols, dRows);
}

void TConsoleCells::TrackCursor()
{
    const int row = std::max(CurRow - VisRows + 1, std::min(PosRow, CurRow));
    const int col = std::max(CurCol - VisCols + 1, std::min(PosCol, CurCol));
    ScrollTo(col, row);
}

bool TConsoleCells::Deferring() const
{
    return (Opts & coLazyWrite) && Host && Host->CanPost();
}

void TConsoleCells::Post()
{
    if (Posted)
        return;
    Posted = true;
    Host->PostDeferred();
}

void TConsoleCells::DropPending()
{
    PendingTrack = false;
    PendingCols = PendingRows = 0;
}

void TConsoleCells::RequestTrack()
{
    if (!Deferring()) {
        TrackCursor();
        return;
    }
    PendingTrack = true;
    Post();
}

void TConsoleCells::RequestScroll(int dCols, int dRows)
{
    if (!Deferring()) {
        ScrollTo(PosCol + dCols, PosRow + dRows);
        return;
    }
    PendingCols += dCols;
    PendingRows += dRows;
    const bool small = std::abs(PendingCols) < std::min(VisCols, ColCount) / 2 &&
                       std::abs(PendingRows) < std::min(VisRows, RowCount) / 2;
    if (small) {
        if (PendingCols != 0 || PendingRows != 0)
            Post();
        return;
    }
    const int col = PosCol + PendingCols;
    const int row = PosRow + PendingRows;
    PendingCols = PendingRows = 0;
    ScrollTo(col, row);
}

// The scroll goes first: it restores the position that the ring advances lowered, so the
// tracking that follows measures from the text actually shown.
void TConsoleCells::RunDeferred()
{
    Posted = false;
    if (PendingCols != 0 || PendingRows != 0) {
        const int col = PosCol + PendingCols;
        const int row = PosRow + PendingRows;
        PendingCols = PendingRows = 0;
        ScrollTo(col, row);
    }
    if (PendingTrack) {
        PendingTrack = false;
        TrackCursor();
    }
}
