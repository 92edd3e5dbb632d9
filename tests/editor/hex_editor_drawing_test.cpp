// What the hex editor paints: the colour of each kind of cell, the marker digit, the offsets.
#include "hex_editor_fixture.h"

#include <QImage>
#include <QScrollBar>
#include <QVector3D>

#include <map>

namespace {

class HexEditorDrawing : public HexEditorFixture {
protected:
    QImage Render()
    {
        QApplication::processEvents();
        return Editor.viewport()->grab().toImage();
    }

    // The colour most used inside a cell: its background.
    static QColor Dominant(const QImage &image, const QRect &r)
    {
        std::map<QRgb, int> counts;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                ++counts[image.pixel(x, y)];
        return QColor(std::max_element(counts.begin(), counts.end(), [](auto &a, auto &b) {
                          return a.second < b.second;
                      })->first);
    }

    // True when the text drawn in the cell has the colour. Anti-aliasing blends thin strokes into
    // the background, more or less with the font installed: a pixel counts when it lies on the way
    // from the background to the colour, at least halfway.
    static bool Has(const QImage &image, const QRect &r, const QColor &colour)
    {
        const QColor back = Dominant(image, r);
        const auto from = [&back](const QColor &c) {
            return QVector3D(c.redF() - back.redF(), c.greenF() - back.greenF(), c.blueF() - back.blueF());
        };
        const QVector3D towards = from(colour);
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const QVector3D pixel = from(image.pixelColor(x, y));
                const float along = QVector3D::dotProduct(pixel, towards) / towards.lengthSquared();
                if (along >= 0.5f && (pixel - along * towards).length() <= 0.1f * towards.length())
                    return true;
            }
        return false;
    }
};

} // namespace

TEST_F(HexEditorDrawing, CellColoursFollowChangeAndSelection)
{
    Load(Counting(64));
    Editor.Colors().SetOddColumn(QColor(0, 0, 255));
    Editor.ChangeByte(5, 0x55, 5);
    Editor.ChangeByte(9, 0x99, 9);
    Editor.SetSelStart(8);
    Editor.SetSelEnd(10);
    Editor.clearFocus(); // no caret or partner mark over the cells
    const QImage image = Render();
    const TColors &c = Editor.Colors();
    const THexLayout &layout = Editor.Model().Layout();
    const auto hex = [&](int64_t b) { return Editor.CellRect(layout.ByteToCell(b, TPane::Hex).Col, b / 16); };
    const auto chr = [&](int64_t b) { return Editor.CellRect(layout.ByteToCell(b, TPane::Char).Col, b / 16); };

    EXPECT_EQ(Dominant(image, hex(2)), c.Background()) << "plain";
    EXPECT_TRUE(Has(image, hex(2), c.OddColumn()));
    EXPECT_EQ(Dominant(image, hex(5)), c.ChangedBackground()) << "changed";
    EXPECT_TRUE(Has(image, hex(5), c.ChangedText()));
    EXPECT_EQ(Dominant(image, chr(5)), c.ChangedBackground());
    EXPECT_EQ(Dominant(image, hex(8)), c.OddColumn()) << "selected";
    EXPECT_TRUE(Has(image, hex(8), c.OddInverse()));
    EXPECT_EQ(Dominant(image, chr(8)), Editor.palette().color(QPalette::Text));
    EXPECT_EQ(Dominant(image, hex(9)), c.ChangedText()) << "changed and selected";
    EXPECT_TRUE(Has(image, hex(9), c.ChangedBackground()));
    EXPECT_EQ(Dominant(image, hex(11)), c.Background());
}

TEST_F(HexEditorDrawing, MarkerDigitOnlyInItsRow)
{
    Load(Counting(160));
    Editor.SetMarker(7, 5);
    Editor.SetMarker(3, 5);
    const QImage image = Render();
    const QColor back = Editor.Colors().PositionBackground();
    EXPECT_EQ(Dominant(image, Editor.CellRect(1, 5)), back);
    EXPECT_TRUE(Has(image, Editor.CellRect(1, 5), Editor.Colors().PositionText()));
    EXPECT_NE(Dominant(image, Editor.CellRect(1, 4)), back);
    EXPECT_NE(Dominant(image, Editor.CellRect(1, 6)), back);
    EXPECT_EQ(Editor.Model().MarkerAt(5), 3) << "the lower number shows";
}

TEST_F(HexEditorDrawing, CaretInvertsTheCurrentCell)
{
    Load(Counting(64));
    Editor.SetSelStart(3); // no selection, caret on byte 3
    const QImage image = Render();
    const QRect cell = Editor.CellRect(8, 0);
    const QRect caret(cell.left(), cell.top(), Editor.CharWidth(), Editor.RowHeight() - 2);
    EXPECT_EQ(Dominant(image, caret), Editor.Colors().CursorFrame());
    EXPECT_EQ(Dominant(image, Editor.CellRect(10, 0)), Editor.Colors().Background());
}

TEST_F(HexEditorDrawing, CaretStylesCoverTheirOwnArea)
{
    Load(Counting(64));
    Editor.SetSelStart(3);
    const QRect cell = Editor.CellRect(8, 0);
    const int w = Editor.CharWidth();
    const int h = Editor.RowHeight() - 2;
    const QColor navy = Editor.Colors().CursorFrame();
    Editor.SetAutoCaretMode(false);
    Editor.SetCaretStyle(csLeftLine);
    QImage image = Render();
    EXPECT_EQ(Dominant(image, QRect(cell.left(), cell.top(), 2, h)), navy);
    EXPECT_NE(Dominant(image, QRect(cell.left() + 2, cell.top(), w - 2, h)), navy);
    Editor.SetCaretStyle(csBottomLine);
    image = Render();
    EXPECT_EQ(Dominant(image, QRect(cell.left(), cell.top() + h - 2, w, 2)), navy);
    EXPECT_NE(Dominant(image, QRect(cell.left(), cell.top(), w, h - 2)), navy);
}

TEST_F(HexEditorDrawing, PartnerCellIsOutlinedWithoutFocusFrame)
{
    Load(Counting(64));
    Editor.SetSelStart(3);
    Editor.SetFocusFrame(false);
    const QRect partner = Editor.CellRect(35 + 3, 0);
    const QImage image = Render();
    const QColor navy = Editor.Colors().CursorFrame();
    EXPECT_EQ(Dominant(image, QRect(partner.left(), partner.top(), 1, partner.height())), navy);
    EXPECT_EQ(Dominant(image, QRect(partner.left(), partner.top(), Editor.CharWidth(), 1)), navy);
    Editor.clearFocus();
    EXPECT_NE(Dominant(Render(), QRect(partner.left(), partner.top(), 1, partner.height())), navy)
        << "only a focused control marks the partner";
}

TEST_F(HexEditorDrawing, EmptyDocumentShowsOneRow)
{
    Editor.NewDocument("Empty");
    EXPECT_EQ(Editor.Model().RowCount(), 1);
    EXPECT_EQ(Current(), (TCell{2, 0}));
    const QImage image = Render();
    EXPECT_TRUE(Has(image, Editor.CellRect(0, 0), Editor.Colors().Offset()));
    EXPECT_FALSE(Has(image, Editor.CellRect(0, 1), Editor.Colors().Offset()));
}

TEST_F(HexEditorDrawing, ScreenshotOfEightKilobytes)
{
    std::vector<uint8_t> bytes(8192, 0xFF);
    const char text[] = "Korvel hex editor \x01\x02\x7f";
    std::copy(std::begin(text), std::end(text), bytes.begin() + 0x20);
    Load(bytes);
    Editor.SetGridLineWidth(1);
    Editor.ChangeByte(0xFF, 0x12, 0x45);
    Editor.SetMarker(1, 2);
    QTest::keyClick(&Editor, Qt::Key_Down);
    QTest::keyClick(&Editor, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&Editor, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&Editor, Qt::Key_Right, Qt::ShiftModifier);
    Editor.resize(640, 240);
    QApplication::processEvents();
    const QImage shot = Editor.grab().toImage();
    EXPECT_TRUE(shot.save(KORVEL_BINARY_DIR "/hex_editor_8k.png"));
    EXPECT_EQ(Editor.verticalScrollBar()->maximum(), 512 - Editor.VisibleRows());
}
