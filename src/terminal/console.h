// A text-mode screen as a widget: Cols x Rows cells of one byte (Windows-1252), written at a cursor,
// with a scroll-back view, scroll bars and scroll keys, an underline cursor and a 64-key type-ahead
// buffer from which the owner reads what the user typed.
#pragma once
#include "terminal/console_cells.h"
#include "terminal/fixed_font.h"

#include <QAbstractScrollArea>
#include <QRegion>
#include <functional>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string_view>

class QEventLoop;
class TConsole;

class EConsoleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EInvalidFont : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};
class EInvalidOperation : public EConsoleError {
public:
    using EConsoleError::EConsoleError;
};

using TProcessControlCodes = std::function<void(TConsole *sender, const char *buffer, unsigned count)>;

class TConsole : public QAbstractScrollArea, private TConsoleHost {
    Q_OBJECT

public:
    explicit TConsole(QWidget *parent = nullptr);
    ~TConsole() override;

    const TFixedFont &Font() const { return CellFont; }
    // Throws EInvalidFont for a font that is not fixed-pitch while coFixedPitchOnly is set;
    // the font in effect then stays.
    void SetFont(const TFixedFont &font);
    QColor Color() const { return ControlColor; }
    void SetColor(const QColor &color);
    TConsoleOptions Options() const { return Model.Options(); }
    // Throws EConsoleError when another console already serves standard input or output.
    void SetOptions(TConsoleOptions options);
    int Cols() const { return Model.Cols(); }
    void SetCols(int cols);
    int Rows() const { return Model.Rows(); }
    void SetRows(int rows);
    TConsoleLineBreak LineBreak() const { return Model.LineBreak(); }
    void SetLineBreak(TConsoleLineBreak lineBreak) { Model.SetLineBreak(lineBreak); }
    // When set, every write goes to it instead of the built-in ProcessBuffer.
    void SetProcessControlCodes(TProcessControlCodes handler) { ProcessControlCodes = std::move(handler); }

    void PutChar(char ch);
    void PutText(std::string_view text);
    void PutBuffer(const char *buffer, std::size_t count);
    void ProcessBuffer(const char *buffer, std::size_t count);

    bool KeyPressed();
    // Waits for a key, running the event loop. Throws EInvalidOperation("Read already active") when a
    // console is already waiting, EConsoleError when the application quits meanwhile.
    char ReadKey();
    // One line with echo and backspace editing; returns the characters stored, terminator included.
    int ReadBuf(char *buffer, int size);

    void Clear();
    void ScrollTo(int col, int row);
    void TrackCursor();

    const TConsoleCells &Cells() const { return Model; }
    int CharWidth() const { return CellWidth; }
    int LineHeight() const { return CellHeight; }
    QSize sizeHint() const override { return {160, 88}; }

signals:
    void CtrlBreakPressed();

protected:
    // Ctrl+C typed or the Cancel key with coCheckBreak; emits CtrlBreakPressed.
    virtual void CtrlBreak();
    virtual void SetMetrics(const QFontMetrics &metrics);

    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    enum class TScrollCommand { LineUp, LineDown, PageUp, PageDown, Top, Bottom };

    void InvalidateCells(int row, int firstCol, int endCol) override;
    void Beep() override;
    void ViewScrolled(int dCols, int dRows) override;
    bool CanPost() const override;
    void PostDeferred() override;

    void ApplyFont();
    void Layout();
    void SyncScrollBars();
    bool ScrollKey(const QKeyEvent *event);
    void Scroll(Qt::Orientation axis, TScrollCommand command);
    void TypedKey(char key);
    void WaitForKey();
    bool CursorShown() const;
    QRect CellRect(int col, int row, int cols) const;
    void UpdateCursor();
    void PaintRow(QPainter &painter, int row, int firstCol, int lastCol);
    void SwitchStdInput(bool on);
    void SwitchStdOutput(bool on);

    TConsoleCells Model;
    TKeyBuffer Keys;
    TFixedFont CellFont;
    TFixedFont FontInEffect;
    QFont PaintFont;
    QColor ControlColor;
    TProcessControlCodes ProcessControlCodes;
    int CellWidth = 1;
    int CellHeight = 1;
    int Ascent = 0;
    int Overhang = 0;
    bool Reading = false;
    bool SyncingBars = false;
    QEventLoop *ReadLoop = nullptr;
    // Painted regions that a scroll must carry along to where their text now is.
    QRegion PendingDirty;
    std::unique_ptr<std::streambuf> StdInBuf;
    std::unique_ptr<std::streambuf> StdOutBuf;
    std::streambuf *PreviousStdIn = nullptr;
    std::streambuf *PreviousStdOut = nullptr;
};
