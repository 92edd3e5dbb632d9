// THexEditor: a grid that shows a byte document as offsets, marker digits, hex digit pairs and
// characters, and lets the user edit it with the keyboard and the mouse. The document lives in a
// private temporary file (THexEditModel); this widget draws it and feeds it events.
#pragma once
#include "editor/hex_edit_model.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>

#include <functional>
#include <vector>

class THexEditor;

// The editor's colour set; every change repaints the editor.
class TColors {
public:
    explicit TColors(THexEditor *editor);

    QColor Background() const { return FBackground; }
    void SetBackground(const QColor &value);
    QColor PositionBackground() const { return FPositionBackground; }
    void SetPositionBackground(const QColor &value) { Set(FPositionBackground, value); }
    QColor PositionText() const { return FPositionText; }
    void SetPositionText(const QColor &value) { Set(FPositionText, value); }
    QColor ChangedBackground() const { return FChangedBackground; }
    void SetChangedBackground(const QColor &value) { Set(FChangedBackground, value); }
    QColor ChangedText() const { return FChangedText; }
    void SetChangedText(const QColor &value) { Set(FChangedText, value); }
    QColor CursorFrame() const { return FCursorFrame; }
    void SetCursorFrame(const QColor &value) { Set(FCursorFrame, value); }
    QColor Offset() const { return FOffset; }
    void SetOffset(const QColor &value) { Set(FOffset, value); }
    QColor OddColumn() const { return FOddColumn; }
    void SetOddColumn(const QColor &value);
    QColor EvenColumn() const { return FEvenColumn; }
    void SetEvenColumn(const QColor &value);
    QColor OddInverse() const { return FOddInverse; }
    QColor EvenInverse() const { return FEvenInverse; }

    static QColor Inverse(const QColor &c) { return QColor(255 - c.red(), 255 - c.green(), 255 - c.blue()); }

private:
    void Set(QColor &field, const QColor &value);

    THexEditor *FEditor;
    QColor FBackground;
    QColor FPositionBackground{128, 0, 0};
    QColor FPositionText{255, 255, 255};
    QColor FChangedBackground{255, 255, 168};
    QColor FChangedText{128, 0, 0};
    QColor FCursorFrame{0, 0, 128};
    QColor FOffset{0, 0, 0};
    QColor FOddColumn{0, 0, 255};
    QColor FEvenColumn{0, 0, 128};
    QColor FOddInverse;
    QColor FEvenInverse;
};

class THexEditor : public QAbstractScrollArea, private IHexEditView {
    Q_OBJECT
public:
    explicit THexEditor(QWidget *parent = nullptr);
    ~THexEditor() override;

    // Properties.
    int BytesPerLine() const { return FModel.Layout().BytesPerLine; }
    void SetBytesPerLine(int value);
    int BytesPerColumn() const { return FModel.Layout().BytesPerColumn; }
    void SetBytesPerColumn(int value) { FModel.SetBytesPerColumn(value); }
    TOffsetDisplayStyle OffsetDisplay() const { return FModel.OffsetDisplay(); }
    void SetOffsetDisplay(TOffsetDisplayStyle value) { FModel.SetOffsetDisplay(value); }
    char OffsetSeparator() const { return FModel.OffsetSeparator(); }
    void SetOffsetSeparator(char value) { FModel.SetOffsetSeparator(value); }
    bool ShowMarkerColumn() const { return FModel.Layout().ShowMarkerColumn; }
    void SetShowMarkerColumn(bool value) { FModel.SetShowMarkerColumn(value); }
    TTranslationType Translation() const { return FModel.Translation(); }
    void SetTranslation(TTranslationType value) { FModel.SetTranslation(value); }
    bool MaskWhiteSpaces() const { return FModel.MaskWhiteSpaces(); }
    void SetMaskWhiteSpaces(bool value) { FModel.SetMaskWhiteSpaces(value); }
    QChar MaskChar() const { return QChar(static_cast<char16_t>(FModel.MaskChar())); }
    void SetMaskChar(QChar value) { FModel.SetMaskChar(value.unicode()); }
    bool SwapNibbles() const { return FModel.Layout().SwapNibbles; }
    void SetSwapNibbles(bool value) { FModel.SetSwapNibbles(value); }
    TCaretStyle CaretStyle() const { return FModel.CaretStyle(); }
    void SetCaretStyle(TCaretStyle value) { FModel.SetCaretStyle(value); }
    bool AutoCaretMode() const { return FModel.AutoCaretMode(); }
    void SetAutoCaretMode(bool value) { FModel.SetAutoCaretMode(value); }
    bool FocusFrame() const { return FFocusFrame; }
    void SetFocusFrame(bool value);
    TColors &Colors() { return FColors; }
    bool AllowInsertMode() const { return FModel.AllowInsertMode(); }
    void SetAllowInsertMode(bool value) { FModel.SetAllowInsertMode(value); }
    bool NoSizeChange() const { return FModel.NoSizeChange(); }
    void SetNoSizeChange(bool value) { FModel.SetNoSizeChange(value); }
    bool ReadOnlyView() const { return FModel.ReadOnlyView(); }
    void SetReadOnlyView(bool value) { FModel.SetReadOnlyView(value); }
    bool WantTabs() const { return FModel.WantTabs(); }
    void SetWantTabs(bool value) { FModel.SetWantTabs(value); }
    bool InsertMode() const { return FModel.InsertMode(); }
    bool CreateBackup() const { return FCreateBackup; }
    void SetCreateBackup(bool value) { FCreateBackup = value; }
    QString BackupExtension() const { return FBackupExtension; }
    void SetBackupExtension(const QString &value) { FBackupExtension = value; }
    int GridLineWidth() const { return FGridLineWidth; }
    void SetGridLineWidth(int value);
    // Called once for each posted state notification.
    std::function<void()> OnStateChanged;

    // Editing operations; misuse raises EHexEditorError with its fixed text.
    void NewDocument(const QString &name);
    QString DocumentName() const { return QString::fromStdString(FModel.DocumentName()); }
    void InsertBuffer(const uint8_t *data, int64_t count, int64_t position);
    void DeleteSelection() { FModel.DeleteSelection(); }
    void ChangeByte(uint8_t oldValue, uint8_t newValue, int64_t offset);
    uint8_t GetMemory(int64_t index) { return FModel.GetMemory(index); }
    int64_t SelStart() const { return FModel.SelStart(); }
    void SetSelStart(int64_t value) { FModel.SetSelStart(value); }
    int64_t SelEnd() const { return FModel.SelEnd(); }
    void SetSelEnd(int64_t value) { FModel.SetSelEnd(value); }
    int64_t SelLength() const { return FModel.SelLength(); }
    void SetMarker(int index, int64_t row) { FModel.SetMarker(index, row); }
    void Undo() { FModel.Undo(); }
    QString UndoText() const { return QString::fromStdString(FModel.UndoText()); }
    bool Modified() const { return FModel.Modified(); }
    int64_t ByteCount() { return FModel.ByteCount(); }

    // Geometry and state, for hosts and tests.
    const THexEditModel &Model() const { return FModel; }
    QString StoragePath() const { return QString::fromStdString(FModel.Document().StoragePath()); }
    int CharWidth() const { return FCharWidth; }
    int RowHeight() const { return FRowHeight; }
    QRect CellRect(int col, int64_t row) const;
    int64_t TopRow() const override;
    int64_t VisibleRows() const override;

protected:
    bool event(QEvent *e) override;
    void paintEvent(QPaintEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *e) override;
    void keyReleaseEvent(QKeyEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
    void changeEvent(QEvent *e) override;

private:
    friend class TColors;

    // IHexEditView
    void InvalidateCell(TCell cell) override;
    void InvalidateRows(int64_t first, int64_t last) override;
    void InvalidateAll() override;
    void LayoutChanged() override;
    void CurrentCellChanged() override;
    void CaretStyleChanged() override;
    void PostStateChanged() override;
    void SetTopRow(int64_t row) override;

    void MeasureFont();
    void UpdateColumns();
    void UpdateScrollBars();
    int ScrolledX(int col) const;
    bool RowInView(int64_t row) const;
    bool CellAt(QPoint pos, TCell &cell, bool clamp) const;
    void DrawRow(class QPainter &p, int64_t row, const QRect &exposed);
    void DrawCell(QPainter &p, int col, int64_t row, const QRect &r);
    void DrawDataCell(QPainter &p, int col, int64_t row, const QRect &r);
    void DrawMarkerCell(QPainter &p, int64_t row, const QRect &r);
    void DrawText(QPainter &p, const QRect &r, const QString &text, const QColor &fg, const QColor &bg);
    void DrawCaret(QPainter &p);
    void DrawPartnerMark(QPainter &p);
    void Guarded(const std::function<void()> &action);
    bool HandleAltEntry(QKeyEvent *e);
    bool GridKey(QKeyEvent *e);
    QColor FontColor() const;

    THexEditModel FModel;
    TColors FColors;
    bool FFocusFrame = true;
    bool FCreateBackup = true;
    QString FBackupExtension = ".bak";
    int FGridLineWidth = 0;
    int FCharWidth = 8;
    int FRowHeight = 16;
    int FTextAscent = 12; // baseline of the font being drawn with
    std::vector<int> FColumnX; // left edge of each column before scrolling, plus the total width
    int FAltCode = -1;         // a decimal code typed on the keypad while Alt is held
};
