// The keyboard, typing and mouse rules of THexEditModel.
#include "editor/hex_edit_model.h"

#include <algorithm>

namespace {

bool IsCtrlOnly(unsigned mods) { return mods == kmCtrl; }

int HexValue(char32_t c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

} // namespace

bool THexEditModel::KeyDown(const TKeyPress &key)
{
    FShiftHeld = key.Modifiers & kmShift;
    if (PreFilter(key))
        return true;
    if (key.Key == THexKey::Backspace && (!InsertMode() || FReadOnlyView)) {
        // Backspace outside insert mode is the grid's own Left: one cell, never into another row.
        // As a key of its own it still ends the selection when pressed alone, also where there is
        // no cell to the left; with Shift it extends the selection like any move.
        if (key.Modifiers == kmNone && !InsertMode())
            ClearSelection();
        KeyMove({FCurrent.Col - 1, FCurrent.Row});
        return true;
    }
    return HandleKey(key);
}

bool THexEditModel::PreFilter(const TKeyPress &key)
{
    if (key.Key == THexKey::Insert) {
        ToggleInsert();
        return true;
    }
    if (key.Key == THexKey::Backspace && InsertMode() && !FReadOnlyView) {
        BackspaceInInsertMode();
        return true;
    }
    if (key.Key == THexKey::Delete && !FReadOnlyView) {
        if (IsCtrlOnly(key.Modifiers) || InsertMode())
            DeleteSelection();
        return true;
    }
    return false;
}

void THexEditModel::ToggleInsert()
{
    FInsertToggle = !FInsertToggle;
    if (FAutoCaretMode)
        SetCaretStyle(InsertMode() ? csLeftLine : csFull);
    FDoc.ClearMarks();
    FView->InvalidateAll();
    FView->PostStateChanged();
}

void THexEditModel::BackspaceInInsertMode()
{
    const int64_t b = CaretByte();
    if (b == 0 || ByteCount() == 0)
        return;
    ClearSelection();
    SetCurrentDirect(FLayout.ByteToCell(b - 1, CurrentPane()));
    DeleteSelection();
}

bool THexEditModel::HandleKey(const TKeyPress &key)
{
    if (key.Modifiers == kmNone && key.Key != THexKey::Shift && !InsertMode())
        ClearSelection();
    if (key.Key == THexKey::Shift && key.Modifiers == kmShift) {
        if (!FSelecting)
            ClearSelection();
        FSelecting = true;
        return false;
    }
    if ((key.Key == THexKey::Tab || key.Key == THexKey::Backtab) && FWantTabs && !(key.Modifiers & kmCtrl)) {
        if (ByteCount() > 0)
            KeyMove({FLayout.PartnerColumn(FCurrent.Col), FCurrent.Row});
        return true;
    }
    if (key.Modifiers & kmAlt)
        return false;
    return (key.Modifiers & kmCtrl) ? HandleCtrlKey(key) : HandleMoveKey(key);
}

bool THexEditModel::HandleCtrlKey(const TKeyPress &key)
{
    const TPane pane = CurrentPane();
    const bool shift = key.Modifiers & kmShift;
    switch (key.Key) {
    case THexKey::Home: KeyMove(FLayout.ByteToCell(0, pane)); return true;
    case THexKey::End: KeyMove(LastByteCell(pane)); return true;
    case THexKey::PageUp: KeyMove({FCurrent.Col, FView->TopRow()}); return true;
    case THexKey::PageDown:
        KeyMove({FCurrent.Col, std::min(FView->TopRow() + FView->VisibleRows() - 1, RowCount() - 1)});
        return true;
    case THexKey::Right: KeyMove({FLayout.ColumnCount() - 1, FCurrent.Row}); return true;
    case THexKey::LetterT:
        if (!shift && ByteCount() > 0)
            KeyMove({FLayout.PartnerColumn(FCurrent.Col), FCurrent.Row});
        return !shift;
    case THexKey::Digit:
        if (shift)
            SetMarker(key.Digit, FCurrent.Row);
        else
            JumpToMarker(key.Digit);
        return true;
    default: return false;
    }
}

bool THexEditModel::HandleMoveKey(const TKeyPress &key)
{
    const TPane pane = CurrentPane();
    const int64_t rowStart = FCurrent.Row * FLayout.BytesPerLine;
    switch (key.Key) {
    case THexKey::Left: MoveLeft(); return true;
    case THexKey::Right: MoveRight(); return true;
    case THexKey::Up: MoveByRows(-1); return true;
    case THexKey::Down: MoveByRows(1); return true;
    case THexKey::Home: KeyMove(FLayout.ByteToCell(rowStart, pane)); return true;
    case THexKey::End:
        KeyMove(FLayout.ByteToCell(std::min(rowStart + FLayout.BytesPerLine, ByteCount()) - 1, pane));
        return true;
    case THexKey::PageUp: PageUp(); return true;
    case THexKey::PageDown: PageDown(); return true;
    default: return false;
    }
}

void THexEditModel::KeyMove(TCell target)
{
    if (target != FCurrent)
        MoveTo(target, {FShiftHeld, false});
}

void THexEditModel::MoveLeft()
{
    const int64_t b = CaretByte();
    if (CurrentPane() == TPane::Hex && (FCurrent.Col - 2) % 2 == 1)
        KeyMove({FCurrent.Col - 1, FCurrent.Row});
    else if (b > 0 && CurrentPane() == TPane::Hex)
        KeyMove({FLayout.ByteToCell(b - 1, TPane::Hex).Col + 1, (b - 1) / FLayout.BytesPerLine});
    else if (b > 0)
        KeyMove(FLayout.ByteToCell(b - 1, TPane::Char));
}

void THexEditModel::MoveRight()
{
    const int64_t b = CaretByte();
    if (CurrentPane() == TPane::Hex && (FCurrent.Col - 2) % 2 == 0)
        KeyMove({FCurrent.Col + 1, FCurrent.Row});
    else if (b + 1 < ByteCount())
        KeyMove(FLayout.ByteToCell(b + 1, CurrentPane()));
}

void THexEditModel::MoveByRows(int64_t rows)
{
    const int64_t row = FCurrent.Row + rows;
    if (row >= 0 && row < RowCount())
        KeyMove({FCurrent.Col, row});
}

void THexEditModel::PageUp()
{
    const int64_t page = std::max<int64_t>(FView->VisibleRows() - 1, 0);
    FView->SetTopRow(std::max<int64_t>(FView->TopRow() - page, 0));
    KeyMove({FCurrent.Col, std::max<int64_t>(FCurrent.Row - page, 0)});
}

void THexEditModel::PageDown()
{
    const int64_t page = std::max<int64_t>(FView->VisibleRows() - 1, 0);
    const int64_t lastTop = std::max<int64_t>(RowCount() - FView->VisibleRows(), 0);
    FView->SetTopRow(std::min(FView->TopRow() + page, lastTop));
    KeyMove({FCurrent.Col, std::min(FCurrent.Row + page, RowCount() - 1)});
}

void THexEditModel::JumpToMarker(int index)
{
    ClearSelection();
    const int64_t marker = Marker(index);
    const int64_t row = marker >= 0 ? marker : FCurrent.Row;
    // A marker left behind by a shrunken document stays set but does not move the caret.
    if (row < RowCount())
        KeyMove({2, row});
}

void THexEditModel::KeyUp(THexKey key)
{
    FAltEntry = key == THexKey::Alt;
    if (key == THexKey::Shift)
        FSelecting = false;
}

// ---- typing -----------------------------------------------------------------------------------

void THexEditModel::TypeChar(char32_t c)
{
    if (FReadOnlyView || (CaretByte() >= ByteCount() && !InsertMode()))
        return;
    if (CurrentPane() == TPane::Hex)
        TypeHexDigit(HexValue(c));
    else
        TypeCharacter(c);
}

void THexEditModel::TypeHexDigit(int digit)
{
    if (digit < 0)
        return;
    const bool high = FLayout.ShowsHighDigit(FCurrent.Col);
    if (InsertMode() && (high || ByteCount() == 0)) {
        InsertTyped(static_cast<uint8_t>(digit << 4));
        return;
    }
    ClearSelection();
    const int64_t b = CaretByte();
    const uint8_t v = FDoc.CachedByte(b, 1);
    const uint8_t value = high ? static_cast<uint8_t>(digit * 16 + v % 16) : static_cast<uint8_t>(v - v % 16 + digit);
    ChangeByte(v, value, b);
    if (InsertMode() && b == ByteCount() - 1) {
        const uint8_t zero = 0; // room to type on after the last byte
        AppendBuffer(&zero, 1);
    }
    MoveRight();
}

void THexEditModel::TypeCharacter(char32_t c)
{
    const std::optional<uint8_t> value = TypedByte(c, FTranslation, FAltEntry);
    if (!value)
        return;
    FAltEntry = false;
    if (InsertMode()) {
        InsertTyped(*value);
        return;
    }
    ClearSelection();
    const int64_t b = CaretByte();
    ChangeByte(FDoc.CachedByte(b, 1), *value, b);
    MoveRight();
}

// Insert mode only: a new byte goes in over the selection, before the caret, or at the end; the
// caret then stands on its low digit, or after it in the character pane.
void THexEditModel::InsertTyped(uint8_t value)
{
    const TPane pane = CurrentPane();
    const int64_t b = FSelStart >= 0 ? FSelStart : std::min(CaretByte(), ByteCount());
    if (FSelStart >= 0)
        ReplaceSelection(&value, 1);
    else if (b >= ByteCount())
        AppendBuffer(&value, 1);
    else
        InsertBuffer(&value, 1, b);
    ClearSelection();
    const TCell cell = FLayout.ByteToCell(b, pane);
    SetCurrentDirect(pane == TPane::Hex ? TCell{cell.Col + 1, cell.Row} : cell);
    if (pane == TPane::Char)
        MoveRight();
}

// ---- mouse ------------------------------------------------------------------------------------

void THexEditModel::MousePress(TCell cell, bool doubleClick)
{
    // A press on the offset or marker column, or below the last row, lands on no cell: a drag
    // from there must not select from wherever the caret happens to be.
    if (!GridAllows(cell))
        return;
    MoveTo(cell, {false, true});
    ClearSelection();
    FSelecting = !doubleClick;
}

void THexEditModel::MouseDrag(TCell cell)
{
    if (FSelecting && cell != FCurrent)
        MoveTo(cell, {false, true});
}
