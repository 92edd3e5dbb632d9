// The text-mode screen behind TConsole, free of Qt: a Cols x Rows ring of one-byte cells, the cursor,
// the writer that handles bell, backspace, CR and LF, the scroll-back view arithmetic and the merging
// of deferred track and scroll requests. The window that shows it implements TConsoleHost.
#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

enum class TConsoleLineBreak { CRLF, CR, LF };

enum TConsoleOption : unsigned {
    coAutoTracking = 1u << 0,
    coCheckEOF = 1u << 1,
    coCheckBreak = 1u << 2,
    coFulltimeCursor = 1u << 3,
    coLazyWrite = 1u << 4,
    coStdInput = 1u << 5,
    coStdOutput = 1u << 6,
    coFixedPitchOnly = 1u << 7,
};
using TConsoleOptions = unsigned;
inline constexpr TConsoleOptions DefaultConsoleOptions =
    coAutoTracking | coCheckBreak | coLazyWrite | coFixedPitchOnly;

// What the cell model asks of the window that shows it. Rows are logical rows, columns are cells.
class TConsoleHost {
public:
    virtual ~TConsoleHost() = default;
    // Cells [firstCol, endCol) of a row changed and must be painted again.
    virtual void InvalidateCells(int row, int firstCol, int endCol) = 0;
    virtual void Beep() = 0;
    // The scroll positions grew by (dCols, dRows): the shown contents move the other way.
    virtual void ViewScrolled(int dCols, int dRows) = 0;
    // True once requests can be deferred to the window's own event queue.
    virtual bool CanPost() const = 0;
    // Call RunDeferred() later from the event queue; asked at most once until it has run.
    virtual void PostDeferred() = 0;
};

// The keyboard type-ahead: 64 keys, oldest first; a key beyond that is dropped.
class TKeyBuffer {
public:
    static constexpr int Capacity = 64;
    bool Push(char key);
    char Pop();
    bool Empty() const { return Used == 0; }
    int Count() const { return Used; }

private:
    char Keys[Capacity] = {};
    int Used = 0;
};

class TConsoleCells {
public:
    TConsoleCells(int cols = 80, int rows = 25);

    void SetHost(TConsoleHost *host) { Host = host; }

    // Reallocates blank cells; cursor, FirstLine and scroll positions start again at 0.
    // Sizes below 1 are taken as 1.
    void SetSize(int cols, int rows);
    int Cols() const { return ColCount; }
    int Rows() const { return RowCount; }
    int FirstLine() const { return First; }

    TConsoleLineBreak LineBreak() const { return Break; }
    void SetLineBreak(TConsoleLineBreak lineBreak) { Break = lineBreak; }
    TConsoleOptions Options() const { return Opts; }
    void SetOptions(TConsoleOptions options) { Opts = options; }

    int CursorCol() const { return CurCol; }
    int CursorRow() const { return CurRow; }

    char Cell(int col, int row) const { return Cells[Index(col, row)]; }
    std::string_view Row(int row) const;

    void PutCells(int col, int row, const char *chars, int count);
    // Continues into the following rows when the run is longer than the rest of the row.
    void FillCells(int col, int row, char ch, int count);

    // Blanks every cell, cursor and scroll positions to 0; FirstLine stays.
    void Clear();

    void ProcessBuffer(const char *buffer, std::size_t count);

    // The view: first visible column and row, whole cells visible, and the largest positions.
    void SetViewSize(int visibleCols, int visibleRows);
    int ScrollCol() const { return PosCol; }
    int ScrollRow() const { return PosRow; }
    int VisibleCols() const { return VisCols; }
    int VisibleRows() const { return VisRows; }
    int MaxScrollCol() const { return MaxCol; }
    int MaxScrollRow() const { return MaxRow; }

    void ScrollTo(int col, int row);
    void TrackCursor();

    // Deferred with coLazyWrite once the host can post; performed at once otherwise.
    void RequestTrack();
    void RequestScroll(int dCols, int dRows);
    void RunDeferred();
    bool TrackPending() const { return PendingTrack; }
    int PendingScrollCols() const { return PendingCols; }
    int PendingScrollRows() const { return PendingRows; }

private:
    std::size_t Index(int col, int row) const;
    bool Deferring() const;
    void Post();
    void DropPending();
    void Touch(int firstCol, int endCol);
    void FlushDirty();
    void ControlCode(char code);
    void CarriageReturn() { CurCol = 0; }
    void LineFeed();
    void AdvanceRing();
    void Backspace();

    TConsoleHost *Host = nullptr;
    int ColCount = 0;
    int RowCount = 0;
    int First = 0;
    std::vector<char> Cells;
    TConsoleLineBreak Break = TConsoleLineBreak::CRLF;
    TConsoleOptions Opts = DefaultConsoleOptions;
    int CurCol = 0;
    int CurRow = 0;
    int DirtyFirst = 0;
    int DirtyEnd = 0;
    int PosCol = 0;
    int PosRow = 0;
    int VisCols = 0;
    int VisRows = 0;
    int MaxCol = 0;
    int MaxRow = 0;
    bool PendingTrack = false;
    int PendingCols = 0;
    int PendingRows = 0;
    bool Posted = false;
};
