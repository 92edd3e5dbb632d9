#include "editor/hex_editor.h"

#include "desktop/mono_fonts.h"
#include "editor/editor_error.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

// ---- TColors ----------------------------------------------------------------------------------

TColors::TColors(THexEditor *editor)
    : FEditor(editor), FBackground(QApplication::palette().color(QPalette::Base)),
      FOddInverse(Inverse(FOddColumn)), FEvenInverse(Inverse(FEvenColumn))
{
}

void TColors::Set(QColor &field, const QColor &value)
{
    field = value;
    FEditor->viewport()->update();
}

void TColors::SetBackground(const QColor &value)
{
    QPalette palette = FEditor->viewport()->palette();
    palette.setColor(QPalette::Base, value);
    palette.setColor(QPalette::Window, value);
    FEditor->viewport()->setPalette(palette);
    Set(FBackground, value);
}

void TColors::SetOddColumn(const QColor &value)
{
    FOddInverse = Inverse(value);
    Set(FOddColumn, value);
}

void TColors::SetEvenColumn(const QColor &value)
{
    FEvenInverse = Inverse(value);
    Set(FEvenColumn, value);
}

// ---- construction and properties --------------------------------------------------------------

THexEditor::THexEditor(QWidget *parent) : QAbstractScrollArea(parent), FColors(this)
{
    QFont font = CourierFont();
    font.setPointSize(12);
    setFont(font);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(true);
    FColors.SetBackground(FColors.Background());
    FModel.SetView(this);
    MeasureFont();
    FModel.NewDocument("Untitled");
}

THexEditor::~THexEditor()
{
    FModel.SetView(nullptr);
}

void THexEditor::SetBytesPerLine(int value)
{
    if (value == BytesPerLine() || value < 1 || value > 256) {
        FModel.SetBytesPerLine(value); // raises the error for a bad value
        return;
    }
    viewport()->setUpdatesEnabled(false);
    FModel.SetBytesPerLine(value);
    viewport()->setUpdatesEnabled(true);
    viewport()->update();
}

void THexEditor::SetFocusFrame(bool value)
{
    if (value == FFocusFrame)
        return;
    FFocusFrame = value;
    viewport()->update();
}

void THexEditor::SetGridLineWidth(int value)
{
    value = std::clamp(value, 0, 1);
    if (value == FGridLineWidth)
        return;
    FGridLineWidth = value;
    LayoutChanged();
}

void THexEditor::NewDocument(const QString &name)
{
    FModel.NewDocument(name.toStdString());
}

void THexEditor::InsertBuffer(const uint8_t *data, int64_t count, int64_t position)
{
    FModel.InsertBuffer(data, count, position);
}

void THexEditor::ChangeByte(uint8_t oldValue, uint8_t newValue, int64_t offset)
{
    FModel.ChangeByte(oldValue, newValue, offset);
}

QColor THexEditor::FontColor() const
{
    return palette().color(QPalette::Text);
}

// ---- layout and scrolling ---------------------------------------------------------------------

void THexEditor::MeasureFont()
{
    const QFontMetrics metrics(font());
    FCharWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('w')));
    FRowHeight = metrics.boundingRect(QStringLiteral("yY")).height();
    FRowHeight = std::max(metrics.height(), FRowHeight) + 2;
    UpdateColumns();
}

void THexEditor::UpdateColumns()
{
    const THexLayout &layout = FModel.Layout();
    FColumnX.assign(static_cast<size_t>(layout.ColumnCount() + 1), 0);
    for (int c = 0; c < layout.ColumnCount(); ++c) {
        const int width = layout.ColumnChars(c, FModel.OffsetWidth()) * FCharWidth;
        FColumnX[static_cast<size_t>(c + 1)] = FColumnX[static_cast<size_t>(c)] + width + FGridLineWidth;
    }
    UpdateScrollBars();
}

void THexEditor::UpdateScrollBars()
{
    const int64_t rows = FModel.RowCount();
    const int64_t visible = VisibleRows();
    verticalScrollBar()->setRange(0, static_cast<int>(std::max<int64_t>(rows - visible, 0)));
    verticalScrollBar()->setPageStep(static_cast<int>(std::max<int64_t>(visible, 1)));
    const int fixed = FColumnX[2];
    const int scrollable = FColumnX.back() - fixed;
    horizontalScrollBar()->setRange(0, std::max(0, scrollable - (viewport()->width() - fixed)));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width() - fixed));
    horizontalScrollBar()->setSingleStep(FCharWidth);
}

int64_t THexEditor::TopRow() const
{
    return verticalScrollBar()->value();
}

int64_t THexEditor::VisibleRows() const
{
    return std::max(1, viewport()->height() / (FRowHeight + FGridLineWidth));
}

void THexEditor::SetTopRow(int64_t row)
{
    verticalScrollBar()->setValue(static_cast<int>(row));
}

int THexEditor::ScrolledX(int col) const
{
    const int x = FColumnX[static_cast<size_t>(col)];
    return col < 2 ? x : x - horizontalScrollBar()->value();
}

QRect THexEditor::CellRect(int col, int64_t row) const
{
    const int width = FColumnX[static_cast<size_t>(col + 1)] - FColumnX[static_cast<size_t>(col)] - FGridLineWidth;
    const int64_t y = (row - TopRow()) * (FRowHeight + FGridLineWidth);
    return QRect(ScrolledX(col), static_cast<int>(y), width, FRowHeight);
}

bool THexEditor::CellAt(QPoint pos, TCell &cell, bool clamp) const
{
    const int rowPitch = FRowHeight + FGridLineWidth;
    int64_t row = TopRow() + (pos.y() >= 0 ? pos.y() / rowPitch : -1);
    int x = pos.x();
    if (x >= FColumnX[2])
        x += horizontalScrollBar()->value();
    auto it = std::upper_bound(FColumnX.begin(), FColumnX.end(), x);
    int col = static_cast<int>(it - FColumnX.begin()) - 1;
    const int lastCol = static_cast<int>(FColumnX.size()) - 2;
    // The offset and marker columns are fixed: pressing them moves nothing.
    if (!clamp && (row < TopRow() || row >= FModel.RowCount() || col < 2 || col > lastCol))
        return false;
    cell = {std::clamp(col, 2, lastCol), std::clamp<int64_t>(row, 0, FModel.RowCount() - 1)};
    return true;
}

void THexEditor::scrollContentsBy(int, int)
{
    viewport()->update();
}

void THexEditor::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    UpdateScrollBars();
}

void THexEditor::changeEvent(QEvent *e)
{
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        MeasureFont();
        viewport()->update();
    }
}

// ---- IHexEditView ------------------------------------------------------------------------------

bool THexEditor::RowInView(int64_t row) const
{
    return row >= TopRow() && row <= TopRow() + VisibleRows();
}

void THexEditor::InvalidateCell(TCell cell)
{
    if (cell.Col >= 0 && cell.Col < FModel.Layout().ColumnCount() && RowInView(cell.Row))
        viewport()->update(CellRect(cell.Col, cell.Row).adjusted(0, 0, FGridLineWidth, FGridLineWidth));
}

void THexEditor::InvalidateRows(int64_t first, int64_t last)
{
    first = std::max(first, TopRow());
    last = std::min(last, TopRow() + VisibleRows());
    if (first > last)
        return;
    const int pitch = FRowHeight + FGridLineWidth;
    viewport()->update(QRect(0, static_cast<int>((first - TopRow()) * pitch), viewport()->width(),
                             static_cast<int>((last - first + 1) * pitch)));
}

void THexEditor::InvalidateAll()
{
    viewport()->update();
}

void THexEditor::LayoutChanged()
{
    UpdateColumns();
    viewport()->update();
}

void THexEditor::CurrentCellChanged()
{
    const TCell cell = FModel.Current();
    if (cell.Row < TopRow())
        SetTopRow(cell.Row);
    else if (cell.Row >= TopRow() + VisibleRows())
        SetTopRow(cell.Row - VisibleRows() + 1);
    const int fixed = FColumnX[2];
    const int left = FColumnX[static_cast<size_t>(cell.Col)] - fixed;
    const int right = FColumnX[static_cast<size_t>(cell.Col + 1)] - fixed;
    QScrollBar *h = horizontalScrollBar();
    const int width = viewport()->width() - fixed;
    if (left < h->value())
        h->setValue(left);
    else if (right > h->value() + width)
        h->setValue(right - width);
}

void THexEditor::CaretStyleChanged()
{
    InvalidateCell(FModel.Current());
}

void THexEditor::PostStateChanged()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnStateChanged)
                OnStateChanged();
        },
        Qt::QueuedConnection);
}
