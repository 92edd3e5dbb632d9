// Drawing of THexEditor: every cell owner-drawn, the caret and the partner mark by inversion.
#include "editor/hex_editor.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <cmath>

void THexEditor::paintEvent(QPaintEvent *e)
{
    QPainter p(viewport());
    p.setFont(font());
    FTextAscent = QFontMetrics(font()).ascent();
    const QRect exposed = e->rect();
    p.fillRect(exposed, FColors.Background());
    const int pitch = FRowHeight + FGridLineWidth;
    const int64_t first = TopRow() + exposed.top() / pitch;
    const int64_t last = std::min(TopRow() + exposed.bottom() / pitch, FModel.RowCount() - 1);
    for (int64_t row = first; row <= last; ++row)
        DrawRow(p, row, exposed);
    if (hasFocus()) {
        DrawPartnerMark(p);
        DrawCaret(p);
    }
}

void THexEditor::DrawRow(QPainter &p, int64_t row, const QRect &exposed)
{
    const int fixed = FColumnX[2];
    for (int col = 0; col < FModel.Layout().ColumnCount(); ++col) {
        const QRect r = CellRect(col, row);
        if (r.right() + FGridLineWidth < exposed.left() || r.left() > exposed.right())
            continue;
        if (r.width() <= 0)
            continue;
        p.save();
        // Scrolled cells never paint over the fixed offset and marker columns.
        p.setClipRect(col < 2 ? r : r.intersected(QRect(fixed, r.top(), viewport()->width(), r.height())));
        DrawCell(p, col, row, r);
        p.restore();
        if (FGridLineWidth > 0) {
            p.fillRect(QRect(r.right() + 1, r.top(), 1, r.height() + 1), QColor(192, 192, 192));
            p.fillRect(QRect(r.left(), r.bottom() + 1, r.width() + 1, 1), QColor(192, 192, 192));
        }
    }
}

void THexEditor::DrawText(QPainter &p, const QRect &r, const QString &text, const QColor &fg, const QColor &bg)
{
    p.fillRect(r, bg);
    p.setPen(fg);
    p.drawText(r.left(), r.top() + FTextAscent, text);
}

void THexEditor::DrawCell(QPainter &p, int col, int64_t row, const QRect &r)
{
    const THexLayout &layout = FModel.Layout();
    const QColor back = FColors.Background();
    if (FModel.ByteCount() == 0) {
        const std::string text = col == 0 ? EmptyOffsetText(FModel.OffsetDisplay(), FModel.OffsetSeparator()) : "   ";
        DrawText(p, r, QString::fromStdString(text), FColors.Offset(), back);
    } else if (col == 0) {
        DrawText(p, r, QString::fromStdString(FModel.OffsetTextOf(row)), FColors.Offset(), back);
    } else if (col == 1) {
        DrawMarkerCell(p, row, r);
    } else if (col == layout.SeparatorColumn()) {
        DrawText(p, r, QStringLiteral(" "), FontColor(), back);
    } else {
        DrawDataCell(p, col, row, r);
    }
}

void THexEditor::DrawMarkerCell(QPainter &p, int64_t row, const QRect &r)
{
    const int marker = FModel.MarkerAt(row);
    if (marker < 0) {
        DrawText(p, r, QStringLiteral(" "), FontColor(), FColors.Background());
        return;
    }
    QFont small("Arial");
    const QFont &own = font();
    if (own.pixelSize() > 0)
        small.setPixelSize(std::max(1, static_cast<int>(std::lround(0.75 * own.pixelSize()))));
    else
        small.setPointSizeF(std::max(1.0, std::round(0.75 * own.pointSizeF())));
    p.setFont(small);
    const int ascent = FTextAscent;
    FTextAscent = QFontMetrics(small).ascent();
    DrawText(p, r, QString::number(marker), FColors.PositionText(), FColors.PositionBackground());
    FTextAscent = ascent;
    p.setFont(own);
}

void THexEditor::DrawDataCell(QPainter &p, int col, int64_t row, const QRect &r)
{
    const THexLayout &layout = FModel.Layout();
    THexDocument &doc = FModel.Document();
    const int64_t b = layout.CellToByte(col, row);
    if (b >= FModel.ByteCount()) {
        DrawText(p, r, QStringLiteral(" "), FontColor(), FColors.Background());
        return;
    }
    doc.EnsureCache(row * layout.BytesPerLine, layout.BytesPerLine);
    const uint8_t value = doc.CachedByte(b, layout.BytesPerLine);
    const bool hex = layout.IsHexColumn(col);
    const QString text = hex ? QString(QLatin1Char(HexDigitOf(value, layout.ShowsHighDigit(col))))
                             : QString::fromUcs4(std::array<char32_t, 1>{DisplayChar(
                                   value, FModel.Translation(), FModel.MaskWhiteSpaces(), FModel.MaskChar())}
                                                     .data(),
                                                 1);
    const bool changed = doc.IsChanged(b) && !FModel.InsertMode();
    const bool odd = layout.IsOddGroup(col);
    QColor fg = changed ? FColors.ChangedText() : hex ? (odd ? FColors.OddColumn() : FColors.EvenColumn()) : FontColor();
    QColor bg = changed ? FColors.ChangedBackground() : FColors.Background();
    if (FModel.IsSelected(b)) {
        std::swap(fg, bg);
        if (!changed && hex)
            fg = odd ? FColors.OddInverse() : FColors.EvenInverse();
    }
    DrawText(p, r, text, fg, bg);
}

void THexEditor::DrawCaret(QPainter &p)
{
    const TCell cell = FModel.Current();
    if (!RowInView(cell.Row))
        return;
    const QRect r = CellRect(cell.Col, cell.Row);
    if (r.width() <= 0 || r.right() < FColumnX[2])
        return;
    const int height = FRowHeight - 2;
    QRect area(r.left(), r.top(), FCharWidth, height);
    if (FModel.CaretStyle() == csLeftLine)
        area.setWidth(2);
    else if (FModel.CaretStyle() == csBottomLine)
        area = QRect(r.left(), r.top() + height - 2, FCharWidth, 2);
    p.save();
    p.setClipRect(QRect(FColumnX[2], 0, viewport()->width(), viewport()->height()));
    // XOR with the complement of CursorFrame: on a white cell the caret shows in CursorFrame.
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.fillRect(area, TColors::Inverse(FColors.CursorFrame()));
    p.restore();
}

void THexEditor::DrawPartnerMark(QPainter &p)
{
    if (FModel.ByteCount() == 0)
        return;
    const TCell cell = FModel.Current();
    if (!RowInView(cell.Row))
        return;
    const QRect r = CellRect(FModel.Layout().PartnerColumn(cell.Col), cell.Row);
    if (r.right() < FColumnX[2])
        return;
    const QRect mark(r.left(), r.top(), FCharWidth, r.height());
    p.save();
    p.setClipRect(QRect(FColumnX[2], 0, viewport()->width(), viewport()->height()));
    p.setBrush(Qt::NoBrush);
    if (FFocusFrame) {
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.setPen(QPen(Qt::white, 1, Qt::DotLine));
    } else {
        p.setPen(QPen(FColors.CursorFrame(), 1));
    }
    p.drawRect(mark.adjusted(0, 0, -1, -1));
    p.restore();
}
