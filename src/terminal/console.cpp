#include "terminal/console.h"

#include "terminal/std_text_device.h"

#include <QApplication>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <iostream>

namespace {

const QEvent::Type DeferredEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Only one console at a time may wait in ReadKey, and one may serve each standard stream.
bool AnyReading = false;
TConsole *StdInputOwner = nullptr;
TConsole *StdOutputOwner = nullptr;

// Windows-1252 from 0x80 to 0x9F; every other byte is its own code point.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QChar Decode(char cell)
{
    const auto byte = static_cast<unsigned char>(cell);
    return byte >= 0x80 && byte < 0xA0 ? QChar(Cp1252High[byte - 0x80]) : QChar(byte);
}

// The byte for a typed character, or -1 when Windows-1252 has none.
int Encode(QChar ch)
{
    const char16_t code = ch.unicode();
    if (code < 0x80 || (code >= 0xA0 && code < 0x100))
        return code;
    const auto *found = std::find(std::begin(Cp1252High), std::end(Cp1252High), code);
    return found == std::end(Cp1252High) ? -1 : 0x80 + static_cast<int>(found - std::begin(Cp1252High));
}

int FloorDiv(int a, int b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

constexpr Qt::KeyboardModifiers Modifiers = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier;

// The character a key press types, as the key buffer holds it; -1 for none.
int TypedChar(const QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & Modifiers;
    const int key = event->key();
    const bool ctrl = mods.testFlag(Qt::ControlModifier) && !mods.testFlag(Qt::AltModifier);
    // As on a terminal, Ctrl with @, a letter, [, \, ], ^ or _ types the code 64 below it (NUL to US).
    if (ctrl && key >= Qt::Key_At && key <= Qt::Key_Underscore)
        return key - Qt::Key_At;
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Escape:
        return 27;
    default:
        break;
    }
    if (mods.testFlag(Qt::AltModifier) || mods.testFlag(Qt::ControlModifier))
        return -1;
    const QString text = event->text();
    return text.size() == 1 ? Encode(text.at(0)) : -1;
}

bool IsCancelKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Cancel ||
           (event->key() == Qt::Key_Pause && event->modifiers().testFlag(Qt::ControlModifier));
}

} // namespace

TConsole::TConsole(QWidget *parent)
    : QAbstractScrollArea(parent),
      FontInEffect(QFontDatabase::systemFont(QFontDatabase::FixedFont)),
      ControlColor(QGuiApplication::palette().color(QPalette::Base))
{
    Model.SetHost(this);
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAttribute(Qt::WA_StaticContents);
    SetMetrics(QFontMetrics(FontInEffect));
    CellFont = TFixedFont(); // "Courier" and "Courier New" are one face here
    try {
        ApplyFont();
    } catch (const EInvalidFont &) {
        SetMetrics(QFontMetrics(CellFont)); // without a fixed-pitch "Courier", the system's fixed font
    }
    resize(sizeHint());
    Clear();
}

TConsole::~TConsole()
{
    SwitchStdInput(false);
    SwitchStdOutput(false);
    if (ReadLoop)
        ReadLoop->quit();
}

void TConsole::SetFont(const TFixedFont &font)
{
    CellFont = font;
    ApplyFont();
}

void TConsole::ApplyFont()
{
    if (!(static_cast<const QFont &>(CellFont) == FontInEffect)) {
        const bool fixed = QFontInfo(CellFont).fixedPitch();
        if ((Options() & coFixedPitchOnly) && !fixed) {
            const QString name = CellFont.family();
            CellFont = FontInEffect;
            throw EInvalidFont(("TConsole: " + name + " is not fixed-pitch").toStdString());
        }
        SetMetrics(QFontMetrics(CellFont));
    }
    FontInEffect = CellFont;
    viewport()->update();
}

void TConsole::SetMetrics(const QFontMetrics &metrics)
{
    CellWidth = std::max(1, metrics.averageCharWidth());
    CellHeight = std::max(1, metrics.height() + std::max(0, metrics.leading()));
    Ascent = metrics.ascent();
    Overhang = std::max(0, metrics.maxWidth() - CellWidth);
    // Glyphs are placed one cell apart even where the font's own advance is fractional.
    PaintFont = CellFont;
    const qreal advance = QFontMetricsF(CellFont).horizontalAdvance(QLatin1Char('M'));
    PaintFont.setLetterSpacing(QFont::AbsoluteSpacing, CellWidth - advance);
    viewport()->update();
    Layout();
}

void TConsole::SetColor(const QColor &color)
{
    if (color == ControlColor)
        return;
    ControlColor = color;
    QPalette colors = palette();
    colors.setColor(QPalette::Window, color);
    setPalette(colors);
}

void TConsole::SetOptions(TConsoleOptions options)
{
    const TConsoleOptions changed = options ^ Options();
    if (changed & coStdInput)
        SwitchStdInput(options & coStdInput);
    if (changed & coStdOutput)
        SwitchStdOutput(options & coStdOutput);
    Model.SetOptions(options);
    UpdateCursor();
}

void TConsole::SwitchStdInput(bool on)
{
    if (on == (StdInputOwner == this))
        return;
    if (on && StdInputOwner)
        throw EConsoleError("TConsole.SetOptions: Standard Input is already open");
    if (on) {
        StdInBuf = std::make_unique<TConsoleInputBuf>(*this);
        PreviousStdIn = std::cin.rdbuf(StdInBuf.get());
        StdInputOwner = this;
    } else {
        std::cin.rdbuf(PreviousStdIn);
        StdInBuf.reset();
        StdInputOwner = nullptr;
    }
    Model.SetOptions(on ? Options() | coStdInput : Options() & ~coStdInput);
}

void TConsole::SwitchStdOutput(bool on)
{
    if (on == (StdOutputOwner == this))
        return;
    if (on && StdOutputOwner)
        throw EConsoleError("TConsole.SetOptions: Standard Output is already open");
    if (on) {
        StdOutBuf = std::make_unique<TConsoleOutputBuf>(*this);
        PreviousStdOut = std::cout.rdbuf(StdOutBuf.get());
        StdOutputOwner = this;
    } else {
        std::cout.rdbuf(PreviousStdOut);
        StdOutBuf.reset();
        StdOutputOwner = nullptr;
    }
    Model.SetOptions(on ? Options() | coStdOutput : Options() & ~coStdOutput);
}

void TConsole::SetCols(int cols)
{
    if (cols != Model.Cols())
        Model.SetSize(cols, Model.Rows());
    Layout();
    viewport()->update();
}

void TConsole::SetRows(int rows)
{
    if (rows != Model.Rows())
        Model.SetSize(Model.Cols(), rows);
    Layout();
    viewport()->update();
}

void TConsole::PutChar(char ch)
{
    PutBuffer(&ch, 1);
}

void TConsole::PutText(std::string_view text)
{
    PutBuffer(text.data(), text.size());
}

void TConsole::PutBuffer(const char *buffer, std::size_t count)
{
    if (ProcessControlCodes)
        ProcessControlCodes(this, buffer, static_cast<unsigned>(count));
    else
        ProcessBuffer(buffer, count);
}

void TConsole::ProcessBuffer(const char *buffer, std::size_t count)
{
    Model.ProcessBuffer(buffer, count);
}

void TConsole::Clear()
{
    Model.Clear();
    SyncScrollBars();
    viewport()->update();
    SetMetrics(QFontMetrics(FontInEffect));
}

void TConsole::ScrollTo(int col, int row)
{
    Model.ScrollTo(col, row);
    SyncScrollBars();
}

void TConsole::TrackCursor()
{
    Model.TrackCursor();
}

bool TConsole::KeyPressed()
{
    if (Keys.Empty())
        QCoreApplication::processEvents();
    return !Keys.Empty();
}

char TConsole::ReadKey()
{
    TrackCursor();
    if (!KeyPressed())
        WaitForKey();
    return Keys.Pop();
}

void TConsole::WaitForKey()
{
    setFocus();
    if (Reading || AnyReading)
        throw EInvalidOperation("Read already active");
    Reading = AnyReading = true;
    UpdateCursor();
    QPointer<TConsole> alive(this);
    QEventLoop loop;
    ReadLoop = &loop;
    // exec() also ends when the application quits (every running event loop is told to exit then)
    // and when the console is destroyed meanwhile; then nothing of it may be touched any more.
    loop.exec();
    AnyReading = false;
    if (!alive)
        throw EConsoleError("TConsole destroyed during ReadKey");
    ReadLoop = nullptr;
    Reading = false;
    UpdateCursor();
    if (Keys.Empty())
        throw EConsoleError("WM_Quit received during ReadKey");
}

int TConsole::ReadBuf(char *buffer, int size)
{
    int stored = 0;
    for (;;) {
        const char key = ReadKey();
        if (key == 8) {
            if (stored > 0) {
                --stored;
                ProcessBuffer("\b", 1);
            }
        } else if (key == 0 || key == 13 || (key == 26 && (Options() & coCheckEOF))) {
            // The terminator and its line feed take the two places kept free; a buffer too small
            // for them gets what fits.
            if (stored < size)
                buffer[stored++] = key;
            if (key == 13) {
                if (stored < size)
                    buffer[stored++] = 10;
                ProcessBuffer("\r\n", 2);
            }
            break;
        } else if (static_cast<unsigned char>(key) >= 0x20 && stored < size - 2) {
            buffer[stored++] = key;
            ProcessBuffer(&key, 1);
        }
    }
    TrackCursor();
    return stored;
}

void TConsole::CtrlBreak()
{
    emit CtrlBreakPressed();
}

bool TConsole::CursorShown() const
{
    return hasFocus() && (Reading || (Options() & coFulltimeCursor));
}

QRect TConsole::CellRect(int col, int row, int cols) const
{
    return {(col - Model.ScrollCol()) * CellWidth, (row - Model.ScrollRow()) * CellHeight,
            cols * CellWidth + Overhang, CellHeight};
}

void TConsole::UpdateCursor()
{
    viewport()->update(CellRect(Model.CursorCol(), Model.CursorRow(), 1));
}

void TConsole::InvalidateCells(int row, int firstCol, int endCol)
{
    const QRect area = CellRect(firstCol, row, endCol - firstCol) & viewport()->rect();
    if (area.isEmpty())
        return;
    PendingDirty += area;
    viewport()->update(area);
}

void TConsole::Beep()
{
    QApplication::beep();
}

void TConsole::ViewScrolled(int dCols, int dRows)
{
    const int dx = -dCols * CellWidth;
    const int dy = -dRows * CellHeight;
    QWidget *view = viewport();
    view->scroll(dx, dy);
    if (Overhang > 0 && dx != 0) {
        const int edge = dx < 0 ? view->width() + dx - Overhang : 0;
        view->update(edge, 0, std::abs(dx) + Overhang, view->height());
    }
    if (!PendingDirty.isEmpty()) {
        PendingDirty.translate(dx, dy);
        view->update(PendingDirty);
    }
    SyncScrollBars();
}

bool TConsole::CanPost() const
{
    return testAttribute(Qt::WA_WState_Created);
}

void TConsole::PostDeferred()
{
    QCoreApplication::postEvent(this, new QEvent(DeferredEvent));
}

bool TConsole::event(QEvent *event)
{
    if (event->type() != DeferredEvent)
        return QAbstractScrollArea::event(event);
    Model.RunDeferred();
    return true;
}

void TConsole::Layout()
{
    const QSize area = viewport()->size();
    Model.SetViewSize(area.width() / CellWidth, area.height() / CellHeight);
    SyncScrollBars();
}

void TConsole::SyncScrollBars()
{
    SyncingBars = true;
    QScrollBar *across = horizontalScrollBar();
    across->setRange(0, std::max(1, Model.MaxScrollCol()));
    across->setPageStep(std::max(1, Model.VisibleCols() / 2));
    across->setValue(Model.ScrollCol());
    QScrollBar *down = verticalScrollBar();
    down->setRange(0, std::max(1, Model.MaxScrollRow()));
    down->setPageStep(std::max(1, Model.VisibleRows()));
    down->setValue(Model.ScrollRow());
    SyncingBars = false;
}

void TConsole::scrollContentsBy(int, int)
{
    if (!SyncingBars)
        ScrollTo(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

void TConsole::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    Layout();
}

void TConsole::paintEvent(QPaintEvent *event)
{
    PendingDirty = QRegion();
    QPainter painter(viewport());
    const QRect area = event->rect();
    painter.fillRect(area, CellFont.BkColor());
    painter.setFont(PaintFont);
    painter.setPen(CellFont.Color());
    const int firstRow = std::max(0, Model.ScrollRow() + area.top() / CellHeight);
    const int lastRow = std::min(Model.Rows() - 1, Model.ScrollRow() + area.bottom() / CellHeight);
    const int firstCol = std::max(0, Model.ScrollCol() + FloorDiv(area.left() - Overhang, CellWidth));
    const int lastCol = std::min(Model.Cols() - 1, Model.ScrollCol() + area.right() / CellWidth);
    for (int row = firstRow; row <= lastRow; ++row)
        PaintRow(painter, row, firstCol, lastCol);
    if (CursorShown()) {
        const QRect cell = CellRect(Model.CursorCol(), Model.CursorRow(), 1);
        painter.fillRect(cell.x(), cell.y() + Ascent, CellWidth, 2, CellFont.Color());
    }
}

void TConsole::PaintRow(QPainter &painter, int row, int firstCol, int lastCol)
{
    const std::string_view cells = Model.Row(row);
    while (lastCol >= firstCol && cells[static_cast<std::size_t>(lastCol)] == ' ')
        --lastCol;
    if (lastCol < firstCol)
        return;
    QString text(lastCol - firstCol + 1, Qt::Uninitialized);
    for (int col = firstCol; col <= lastCol; ++col)
        text[col - firstCol] = Decode(cells[static_cast<std::size_t>(col)]);
    const QRect cell = CellRect(firstCol, row, 1);
    painter.drawText(QPointF(cell.x(), cell.y() + Ascent), text);
}

void TConsole::keyPressEvent(QKeyEvent *event)
{
    if (IsCancelKey(event) && (Options() & coCheckBreak))
        CtrlBreak();
    if (ScrollKey(event))
        return;
    const int key = TypedChar(event);
    if (key < 0) {
        event->ignore();
        return;
    }
    TypedKey(static_cast<char>(key));
}

void TConsole::TypedKey(char key)
{
    if (key == 3 && (Options() & coCheckBreak))
        CtrlBreak();
    Keys.Push(key);
    if (ReadLoop)
        ReadLoop->quit();
}

bool TConsole::ScrollKey(const QKeyEvent *event)
{
    struct TScrollKey {
        int Key;
        bool Ctrl;
        Qt::Orientation Axis;
        TScrollCommand Command;
    };
    static constexpr TScrollKey Table[] = {
        {Qt::Key_Left, false, Qt::Horizontal, TScrollCommand::LineUp},
        {Qt::Key_Right, false, Qt::Horizontal, TScrollCommand::LineDown},
        {Qt::Key_Left, true, Qt::Horizontal, TScrollCommand::PageUp},
        {Qt::Key_Right, true, Qt::Horizontal, TScrollCommand::PageDown},
        {Qt::Key_Home, false, Qt::Horizontal, TScrollCommand::Top},
        {Qt::Key_End, false, Qt::Horizontal, TScrollCommand::Bottom},
        {Qt::Key_Up, false, Qt::Vertical, TScrollCommand::LineUp},
        {Qt::Key_Down, false, Qt::Vertical, TScrollCommand::LineDown},
        {Qt::Key_PageUp, false, Qt::Vertical, TScrollCommand::PageUp},
        {Qt::Key_PageDown, false, Qt::Vertical, TScrollCommand::PageDown},
        {Qt::Key_Home, true, Qt::Vertical, TScrollCommand::Top},
        {Qt::Key_End, true, Qt::Vertical, TScrollCommand::Bottom},
    };
    const bool ctrlAlone = (event->modifiers() & Modifiers) == Qt::ControlModifier;
    for (const TScrollKey &entry : Table) {
        if (entry.Key == event->key() && entry.Ctrl == ctrlAlone) {
            Scroll(entry.Axis, entry.Command);
            return true;
        }
    }
    return false;
}

void TConsole::Scroll(Qt::Orientation axis, TScrollCommand command)
{
    const bool across = axis == Qt::Horizontal;
    const int position = across ? Model.ScrollCol() : Model.ScrollRow();
    const int page = across ? Model.VisibleCols() / 2 : Model.VisibleRows();
    const int largest = across ? Model.MaxScrollCol() : Model.MaxScrollRow();
    int target = position;
    switch (command) {
    case TScrollCommand::LineUp: target = position - 1; break;
    case TScrollCommand::LineDown: target = position + 1; break;
    case TScrollCommand::PageUp: target = position - page; break;
    case TScrollCommand::PageDown: target = position + page; break;
    case TScrollCommand::Top: target = 0; break;
    case TScrollCommand::Bottom: target = largest; break;
    }
    if (across)
        ScrollTo(target, Model.ScrollRow());
    else
        ScrollTo(Model.ScrollCol(), target);
}

void TConsole::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    QAbstractScrollArea::mousePressEvent(event);
}

// Only the cursor cell depends on the focus; the base class would repaint everything.
void TConsole::focusInEvent(QFocusEvent *)
{
    UpdateCursor();
}

void TConsole::focusOutEvent(QFocusEvent *)
{
    UpdateCursor();
}
