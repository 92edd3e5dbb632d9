// Everything the hex editor decides without a toolkit: the document with its gate and undo
// history, the current cell and its checks, the selection, the markers, and what each key and each
// typed character does. The widget draws it and feeds it events through this class.
#pragma once
#include "editor/char_translation.h"
#include "editor/hex_document.h"
#include "editor/hex_layout.h"
#include "editor/undo_history.h"

#include <array>
#include <cstdint>
#include <string>

enum TCaretStyle { csFull, csLeftLine, csBottomLine };

// What the model needs from whoever shows it.
class IHexEditView {
public:
    virtual ~IHexEditView() = default;
    virtual void InvalidateCell(TCell cell) = 0;
    virtual void InvalidateRows(int64_t first, int64_t last) = 0;
    virtual void InvalidateAll() = 0;
    virtual void LayoutChanged() = 0;
    virtual void CurrentCellChanged() = 0;
    virtual void CaretStyleChanged() = 0;
    virtual void PostStateChanged() = 0;
    virtual int64_t TopRow() const = 0;
    virtual int64_t VisibleRows() const = 0;
    virtual void SetTopRow(int64_t row) = 0;
};

// Shows nothing: stands in until a widget is attached, so the model works on its own (tests, tools).
class THexNullView : public IHexEditView {
public:
    void InvalidateCell(TCell) override {}
    void InvalidateRows(int64_t, int64_t) override {}
    void InvalidateAll() override {}
    void LayoutChanged() override {}
    void CurrentCellChanged() override {}
    void CaretStyleChanged() override {}
    void PostStateChanged() override {}
    int64_t TopRow() const override { return 0; }
    int64_t VisibleRows() const override { return 1; }
    void SetTopRow(int64_t) override {}
};

enum class THexKey { Left, Right, Up, Down, Home, End, PageUp, PageDown, Tab, Backtab, Insert, Delete,
                     Backspace, Digit, LetterT, Shift, Alt, Other };

enum TKeyModifier : unsigned { kmNone = 0, kmShift = 1, kmCtrl = 2, kmAlt = 4 };

struct TKeyPress {
    THexKey Key = THexKey::Other;
    unsigned Modifiers = kmNone;
    int Digit = 0; // for THexKey::Digit, the main keyboard's digit
};

struct TInputState {
    bool Shift = false;
    bool LeftButton = false;
};

class THexEditModel {
public:
    static constexpr int MarkerCount = 10;

    THexEditModel();
    void SetView(IHexEditView *view);

    // Layout properties.
    const THexLayout &Layout() const { return FLayout; }
    void SetBytesPerLine(int value);
    void SetBytesPerColumn(int value);
    void SetSwapNibbles(bool value);
    void SetShowMarkerColumn(bool value);
    TOffsetDisplayStyle OffsetDisplay() const { return FOffsetDisplay; }
    void SetOffsetDisplay(TOffsetDisplayStyle value);
    char OffsetSeparator() const { return FOffsetSeparator; }
    void SetOffsetSeparator(char value);
    int OffsetWidth() const { return FOffsetWidth; }
    std::string OffsetTextOf(int64_t row) const;

    // Character pane properties.
    TTranslationType Translation() const { return FTranslation; }
    void SetTranslation(TTranslationType value);
    bool MaskWhiteSpaces() const { return FMaskWhiteSpaces; }
    void SetMaskWhiteSpaces(bool value);
    char32_t MaskChar() const { return FMaskChar; }
    void SetMaskChar(char32_t value);

    // Editing properties.
    bool AllowInsertMode() const { return FAllowInsertMode; }
    void SetAllowInsertMode(bool value);
    bool NoSizeChange() const { return FNoSizeChange; }
    void SetNoSizeChange(bool value);
    bool ReadOnlyView() const { return FReadOnlyView; }
    void SetReadOnlyView(bool value) { FReadOnlyView = value; }
    bool WantTabs() const { return FWantTabs; }
    void SetWantTabs(bool value) { FWantTabs = value; }
    bool AutoCaretMode() const { return FAutoCaretMode; }
    void SetAutoCaretMode(bool value);
    TCaretStyle CaretStyle() const { return FCaretStyle; }
    void SetCaretStyle(TCaretStyle value);
    bool InsertMode() const { return FInsertToggle && FAllowInsertMode && !FNoSizeChange; }

    // The document.
    const std::string &DocumentName() const { return FDocumentName; }
    int64_t ByteCount() const { return FDoc.ByteCount(); }
    int64_t RowCount() const { return FLayout.RowCount(ByteCount()); }
    THexDocument &Document() { return FDoc; }
    const THexDocument &Document() const { return FDoc; }
    void NewDocument(const std::string &name);
    void InsertBuffer(const uint8_t *data, int64_t count, int64_t position);
    void AppendBuffer(const uint8_t *data, int64_t count);
    void ReplaceSelection(const uint8_t *data, int64_t count);
    void DeleteSelection();
    void ChangeByte(uint8_t oldValue, uint8_t newValue, int64_t offset);
    uint8_t GetMemory(int64_t index);
    void Undo();
    const std::string &UndoText() const { return FHistory.UndoText(); }
    const TUndoHistory &History() const { return FHistory; }
    bool Modified() const { return FModified; }

    // Selection and markers.
    int64_t SelStart() const { return FSelStart; }
    int64_t SelEnd() const { return FSelEnd; }
    int64_t SelAnchor() const { return FSelAnchor; }
    int64_t SelLength() const { return FSelStart < 0 ? 0 : FSelEnd - FSelStart + 1; }
    void SetSelStart(int64_t value);
    void SetSelEnd(int64_t value);
    bool IsSelected(int64_t b) const { return FSelStart >= 0 && FSelStart <= b && b <= FSelEnd; }
    bool Selecting() const { return FSelecting; }
    void SetMarker(int index, int64_t row);
    int64_t Marker(int index) const { return FMarkers.at(static_cast<size_t>(index)); }
    int MarkerAt(int64_t row) const;

    // The current cell (the caret).
    TCell Current() const { return FCurrent; }
    TPane CurrentPane() const { return FLayout.PaneOf(FCurrent.Col); }
    int64_t CaretByte() const { return FLayout.CellToByte(FCurrent.Col, FCurrent.Row); }
    // The grid's request to make `target` current; false when refused (possibly redirected).
    bool MoveTo(TCell target, TInputState input);

    // Events. KeyDown returns whether the key was consumed.
    bool KeyDown(const TKeyPress &key);
    void KeyUp(THexKey key);
    void TypeChar(char32_t c);
    void MousePress(TCell cell, bool doubleClick);
    void MouseDrag(TCell cell);
    void MouseRelease() { FSelecting = false; }
    void FocusLost() { FSelecting = false; }

private:
    bool PreFilter(const TKeyPress &key);
    bool HandleKey(const TKeyPress &key);
    bool HandleCtrlKey(const TKeyPress &key);
    bool HandleMoveKey(const TKeyPress &key);
    void ToggleInsert();
    void BackspaceInInsertMode();
    void MoveLeft();
    void MoveRight();
    void MoveByRows(int64_t rows);
    void PageUp();
    void PageDown();
    void JumpToMarker(int index);
    void KeyMove(TCell target);
    void TypeHexDigit(int digit);
    void TypeCharacter(char32_t c);
    void InsertTyped(uint8_t value);
    TCell LastByteCell(TPane pane);
    bool GridAllows(TCell target);
    void AfterMove(TCell from, TCell to);
    void SetCurrentDirect(TCell cell);
    void InvalidateCaretCells(TCell cell);
    void ExtendSelection(TCell from, TCell to);
    void ClearSelection();
    bool Gate(TChangeKind kind, int64_t position, int64_t countA, int64_t countB);
    TUndoRecord RecordFor(TChangeKind kind, int64_t position, int64_t countA, int64_t countB);
    void Revert(const TUndoRecord &record);
    void RestoreFrom(const TUndoRecord &record);
    void RedoLayout();
    void RedoOffsetWidth();
    void CheckRoom(int64_t added);

    IHexEditView *FView;
    THexDocument FDoc;
    TUndoHistory FHistory;
    THexLayout FLayout;
    TOffsetDisplayStyle FOffsetDisplay = odHex;
    char FOffsetSeparator = ':';
    int FOffsetWidth = 4;
    TTranslationType FTranslation = ttAnsi;
    bool FMaskWhiteSpaces = true;
    char32_t FMaskChar = '.';
    bool FAllowInsertMode = false;
    bool FNoSizeChange = false;
    bool FReadOnlyView = false;
    bool FWantTabs = true;
    bool FAutoCaretMode = true;
    TCaretStyle FCaretStyle = csFull;
    bool FInsertToggle = false;
    bool FAltEntry = false;
    bool FModified = false;
    std::string FDocumentName = "---";
    TCell FCurrent;
    int64_t FSelStart = -1;
    int64_t FSelEnd = -1;
    int64_t FSelAnchor = -1;
    bool FSelecting = false;
    bool FInCellCheck = false;
    bool FShiftHeld = false;
    std::array<int64_t, MarkerCount> FMarkers;
};
