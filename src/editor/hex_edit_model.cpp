#include "editor/hex_edit_model.h"

#include "editor/editor_error.h"

#include <algorithm>
#include <climits>

namespace {

THexNullView NullView;

} // namespace

THexEditModel::THexEditModel() : FView(&NullView)
{
    FMarkers.fill(-1);
    RedoOffsetWidth();
}

void THexEditModel::SetView(IHexEditView *view)
{
    FView = view ? view : &NullView;
}

// ---- layout properties -------------------------------------------------------------------------

void THexEditModel::SetBytesPerLine(int value)
{
    if (value < 1 || value > 256)
        throw EHexEditorError("Invalid BytesPerLine argument");
    if (value == FLayout.BytesPerLine)
        return;
    const int64_t caretByte = CaretByte();
    const TPane pane = CurrentPane();
    FLayout.BytesPerLine = value;
    FCurrent = FLayout.ByteToCell(caretByte, pane);
    RedoLayout();
    FView->CurrentCellChanged();
    FView->InvalidateAll();
}

void THexEditModel::SetBytesPerColumn(int value)
{
    if (value < 1 || value == FLayout.BytesPerColumn)
        return;
    FLayout.BytesPerColumn = value;
    FView->LayoutChanged();
    FView->InvalidateAll();
}

void THexEditModel::SetSwapNibbles(bool value)
{
    if (value == FLayout.SwapNibbles)
        return;
    FLayout.SwapNibbles = value;
    FView->InvalidateAll();
}

void THexEditModel::SetShowMarkerColumn(bool value)
{
    if (value == FLayout.ShowMarkerColumn)
        return;
    FLayout.ShowMarkerColumn = value;
    FView->LayoutChanged();
    FView->InvalidateAll();
}

void THexEditModel::SetOffsetDisplay(TOffsetDisplayStyle value)
{
    if (value == FOffsetDisplay)
        return;
    FOffsetDisplay = value;
    RedoOffsetWidth();
    FView->LayoutChanged();
    FView->InvalidateAll();
}

void THexEditModel::SetOffsetSeparator(char value)
{
    if (value == FOffsetSeparator)
        return;
    FOffsetSeparator = value;
    FView->InvalidateAll();
}

std::string THexEditModel::OffsetTextOf(int64_t row) const
{
    return OffsetText(FOffsetDisplay, row * FLayout.BytesPerLine, FOffsetWidth, FOffsetSeparator);
}

void THexEditModel::RedoOffsetWidth()
{
    FOffsetWidth = ::OffsetWidth(FOffsetDisplay, (RowCount() - 1) * FLayout.BytesPerLine);
}

void THexEditModel::RedoLayout()
{
    RedoOffsetWidth();
    FView->LayoutChanged();
}

// ---- character pane and editing properties ----------------------------------------------------

void THexEditModel::SetTranslation(TTranslationType value)
{
    if (value != FTranslation) {
        FTranslation = value;
        FView->InvalidateAll();
    }
}

void THexEditModel::SetMaskWhiteSpaces(bool value)
{
    if (value != FMaskWhiteSpaces) {
        FMaskWhiteSpaces = value;
        FView->InvalidateAll();
    }
}

void THexEditModel::SetMaskChar(char32_t value)
{
    if (value != FMaskChar) {
        FMaskChar = value;
        FView->InvalidateAll();
    }
}

void THexEditModel::SetAllowInsertMode(bool value)
{
    FAllowInsertMode = value && !FNoSizeChange;
    SetAutoCaretMode(FAutoCaretMode);
}

void THexEditModel::SetNoSizeChange(bool value)
{
    FNoSizeChange = value;
    if (value)
        FAllowInsertMode = false;
    SetAutoCaretMode(FAutoCaretMode);
}

void THexEditModel::SetAutoCaretMode(bool value)
{
    FAutoCaretMode = value;
    if (value)
        SetCaretStyle(InsertMode() ? csLeftLine : csFull);
}

void THexEditModel::SetCaretStyle(TCaretStyle value)
{
    if (value == FCaretStyle)
        return;
    FCaretStyle = value;
    FView->CaretStyleChanged();
}

// ---- selection and markers --------------------------------------------------------------------

void THexEditModel::ClearSelection()
{
    if (FSelStart < 0)
        return;
    FView->InvalidateRows(FSelStart / FLayout.BytesPerLine, FSelEnd / FLayout.BytesPerLine);
    FSelStart = FSelEnd = FSelAnchor = -1;
    FView->PostStateChanged();
}

void THexEditModel::ExtendSelection(TCell from, TCell to)
{
    const int64_t oldStart = FSelStart;
    const int64_t oldEnd = FSelEnd;
    const int64_t y = FLayout.CellToByte(to.Col, to.Row);
    if (FSelStart < 0) {
        FSelAnchor = FLayout.CellToByte(from.Col, from.Row);
        FSelStart = std::min(FSelAnchor, y);
        FSelEnd = std::max(FSelAnchor, y);
    } else if (y < FSelAnchor) {
        FSelStart = y;
        FSelEnd = FSelAnchor;
    } else {
        FSelStart = FSelAnchor;
        FSelEnd = InsertMode() ? y - 1 : y;
    }
    const int bpl = FLayout.BytesPerLine;
    const int64_t s0 = oldStart < 0 ? FSelStart : oldStart;
    const int64_t e0 = oldEnd < 0 ? FSelEnd : oldEnd;
    FView->InvalidateRows(std::min(s0, FSelStart) / bpl, std::max(s0, FSelStart) / bpl);
    FView->InvalidateRows(std::min(e0, FSelEnd) / bpl, std::max(e0, FSelEnd) / bpl);
    FView->PostStateChanged();
}

void THexEditModel::SetSelStart(int64_t value)
{
    if (value < 0 || value >= ByteCount())
        throw EHexEditorError("Invalid SelStart");
    ClearSelection();
    SetCurrentDirect(FLayout.ByteToCell(value, CurrentPane()));
}

void THexEditModel::SetSelEnd(int64_t value)
{
    if (value < 0 || value >= ByteCount())
        throw EHexEditorError("Invalid SelEnd");
    ClearSelection();
    ExtendSelection(FCurrent, FLayout.ByteToCell(value, CurrentPane()));
}

void THexEditModel::SetMarker(int index, int64_t row)
{
    if (index < 0 || index >= MarkerCount)
        throw EHexEditorError("SetMarker : Invalid marker index");
    int64_t &marker = FMarkers[static_cast<size_t>(index)];
    if (marker == row)
        return;
    const int64_t old = marker;
    marker = row;
    if (old >= 0)
        FView->InvalidateCell({1, old});
    if (row >= 0)
        FView->InvalidateCell({1, row});
}

int THexEditModel::MarkerAt(int64_t row) const
{
    for (int i = 0; i < MarkerCount; ++i)
        if (FMarkers[static_cast<size_t>(i)] == row)
            return i;
    return -1;
}

// ---- the current cell -------------------------------------------------------------------------

TCell THexEditModel::LastByteCell(TPane pane)
{
    return FLayout.ByteToCell(ByteCount() - 1, pane);
}

bool THexEditModel::GridAllows(TCell target)
{
    return target.Col >= 2 && target.Col < FLayout.ColumnCount() && target.Row >= 0 &&
           target.Row < RowCount();
}

void THexEditModel::InvalidateCaretCells(TCell cell)
{
    FView->InvalidateCell(cell);
    FView->InvalidateCell({FLayout.PartnerColumn(cell.Col), cell.Row});
}

void THexEditModel::SetCurrentDirect(TCell cell)
{
    InvalidateCaretCells(FCurrent);
    FCurrent = cell;
    InvalidateCaretCells(FCurrent);
    FView->CurrentCellChanged();
}

void THexEditModel::AfterMove(TCell from, TCell to)
{
    SetCurrentDirect(to);
    if (FSelecting)
        ExtendSelection(from, to);
    else
        ClearSelection();
}

bool THexEditModel::MoveTo(TCell target, TInputState input)
{
    if (FInCellCheck) { // a redirect made by the check itself is not checked again
        AfterMove(FCurrent, target);
        return true;
    }
    if (ByteCount() == 0) {
        if (target != TCell{2, 0})
            return false;
        AfterMove(FCurrent, target);
        return true;
    }
    if (!GridAllows(target))
        return false;
    if (!input.Shift && !input.LeftButton)
        ClearSelection();
    TCell redirect = target;
    if (FLayout.CellToByte(target.Col, target.Row) >= ByteCount())
        redirect = LastByteCell(CurrentPane());
    else if (target.Col == FLayout.SeparatorColumn())
        redirect = input.LeftButton ? TCell{std::max(2, target.Col - 1), target.Row} : FCurrent;
    if (redirect == target) {
        AfterMove(FCurrent, target);
        return true;
    }
    if (redirect != FCurrent) {
        FInCellCheck = true;
        MoveTo(redirect, input);
        FInCellCheck = false;
    }
    return false;
}

// ---- the gate and the undo history ------------------------------------------------------------

TUndoRecord THexEditModel::RecordFor(TChangeKind kind, int64_t position, int64_t countA, int64_t countB)
{
    TUndoRecord r;
    r.Kind = kind;
    r.WasModified = FModified;
    r.CaretByte = static_cast<int32_t>(CaretByte());
    r.CaretPane = CurrentPane() == TPane::Char ? 1 : 0;
    r.CaretDigit = r.CaretPane == 0 ? static_cast<uint8_t>((FCurrent.Col - 2) % 2) : 0;
    r.SelStart = static_cast<int32_t>(FSelStart);
    r.SelEnd = static_cast<int32_t>(FSelEnd);
    r.SelAnchor = static_cast<int32_t>(FSelAnchor);
    r.Position = static_cast<int32_t>(position);
    r.CountA = static_cast<int32_t>(countA);
    r.CountB = static_cast<int32_t>(countB);
    if (kind == ckByteChanged) {
        r.WasChanged = FDoc.IsChanged(position);
        r.Payload = FDoc.Read(position, 1);
    } else if (kind == ckBytesRemoved) {
        r.Payload = FDoc.Read(position, countA);
    } else if (kind == ckReplaceSelection) {
        r.Payload = FDoc.Read(position, countB);
    } else {
        r.Payload = {0};
    }
    return r;
}

bool THexEditModel::Gate(TChangeKind kind, int64_t position, int64_t countA, int64_t countB)
{
    bool allowed = ByteCount() > 0 || kind == ckInsertBuffer || kind == ckAppendBuffer;
    if (FNoSizeChange && (kind != ckByteChanged && !(kind == ckReplaceSelection && countA == countB)))
        allowed = false;
    if (allowed) {
        FHistory.Append(RecordFor(kind, position, countA, countB));
        if (kind != ckByteChanged)
            FDoc.DropCache();
        FModified = true;
    }
    FView->PostStateChanged();
    return allowed;
}

void THexEditModel::Undo()
{
    if (!FHistory.CanUndo()) {
        FHistory.Reset();
        return;
    }
    const TUndoRecord record = FHistory.Newest();
    Revert(record);
    RestoreFrom(record);
    FHistory.DropNewest();
    FView->InvalidateAll();
    FView->PostStateChanged();
}

void THexEditModel::Revert(const TUndoRecord &r)
{
    const uint8_t *payload = r.Payload.data();
    switch (r.Kind) {
    case ckByteChanged:
        FDoc.WriteByte(r.Position, payload[0]);
        FDoc.SetChanged(r.Position, r.WasChanged);
        return;
    case ckBytesRemoved:
        FDoc.Insert(r.Position, payload, r.CountA);
        FDoc.CutMarks(r.Position);
        break;
    case ckInsertBuffer:
        FDoc.Remove(r.Position, r.CountA);
        FDoc.CutMarks(r.Position);
        break;
    case ckReplaceSelection:
        FDoc.Remove(r.Position, r.CountA);
        FDoc.Insert(r.Position, payload, r.CountB);
        FDoc.CutMarks(std::max(0, r.Position - 1));
        break;
    case ckAppendBuffer:
        FCurrent = {2, 0};
        FDoc.Truncate(r.Position);
        FDoc.CutMarks(r.Position);
        break;
    }
    RedoLayout();
}

void THexEditModel::RestoreFrom(const TUndoRecord &r)
{
    const TPane pane = r.CaretPane ? TPane::Char : TPane::Hex;
    TCell cell = FLayout.ByteToCell(r.CaretByte, pane);
    if (pane == TPane::Hex && ByteCount() > 0)
        cell.Col += r.CaretDigit;
    FCurrent = cell;
    FView->CurrentCellChanged();
    FSelStart = r.SelStart;
    FSelEnd = r.SelEnd;
    FSelAnchor = r.SelAnchor;
    FModified = r.WasModified;
}

// ---- editing operations -----------------------------------------------------------------------

void THexEditModel::NewDocument(const std::string &name)
{
    FDoc.Clear();
    FDocumentName = name;
    FHistory.Reset();
    FSelStart = FSelEnd = FSelAnchor = -1;
    FModified = false;
    RedoLayout();
    SetCurrentDirect({2, 0});
    FView->InvalidateAll();
    FView->PostStateChanged();
}

void THexEditModel::CheckRoom(int64_t added)
{
    // Undo records hold positions and counts as 32-bit numbers.
    if (added > INT32_MAX - ByteCount())
        throw EHexEditorError("Document too large");
}

void THexEditModel::InsertBuffer(const uint8_t *data, int64_t count, int64_t position)
{
    if (position < 0 || position > ByteCount())
        throw EHexEditorError("Invalid InsertBuffer position");
    if (count <= 0)
        return;
    CheckRoom(count);
    // The storage must exist before the gate records anything: a file that cannot be created
    // must not leave a record of a change that never happened.
    FDoc.OpenStorage();
    if (!Gate(ckInsertBuffer, position, count, 0))
        return;
    FDoc.Insert(position, data, count);
    RedoLayout();
    FDoc.CutMarks(position);
    if (position == CaretByte()) {
        FSelAnchor = FSelStart = position;
        FSelEnd = position + count - 1;
        FView->PostStateChanged();
    }
    FView->InvalidateAll();
}

void THexEditModel::AppendBuffer(const uint8_t *data, int64_t count)
{
    if (count <= 0)
        return;
    CheckRoom(count);
    FDoc.OpenStorage();
    const int64_t end = ByteCount();
    if (!Gate(ckAppendBuffer, end, count, 0))
        return;
    FDoc.Insert(end, data, count);
    RedoLayout();
    FView->InvalidateAll();
}

void THexEditModel::ReplaceSelection(const uint8_t *data, int64_t count)
{
    if (FSelStart < 0 || FSelEnd >= ByteCount())
        return;
    CheckRoom(count - SelLength());
    const int64_t start = FSelStart;
    const int64_t replaced = SelLength();
    if (!Gate(ckReplaceSelection, start, count, replaced))
        return;
    FDoc.Remove(start, replaced);
    FDoc.Insert(start, data, count);
    FDoc.CutMarks(start);
    FSelStart = FSelEnd = FSelAnchor = -1;
    RedoLayout();
    SetCurrentDirect(FLayout.ByteToCell(std::min(start + count, ByteCount() - 1), CurrentPane()));
    FView->InvalidateAll();
}

void THexEditModel::DeleteSelection()
{
    const bool selected = FSelStart >= 0;
    const int64_t start = selected ? FSelStart : CaretByte();
    const int64_t count = std::min(selected ? SelLength() : 1, ByteCount() - start);
    TCell target = selected ? FLayout.ByteToCell(start, CurrentPane()) : FCurrent;
    if (count <= 0) { // only in an empty document, refused like any change of it
        FView->PostStateChanged();
        return;
    }
    if (!Gate(ckBytesRemoved, start, count, 0))
        return;
    FDoc.CutMarks(start);
    FDoc.Remove(start, count);
    if (FLayout.CellToByte(target.Col, target.Row) >= ByteCount())
        target = LastByteCell(CurrentPane());
    FSelStart = FSelEnd = FSelAnchor = -1;
    RedoLayout();
    SetCurrentDirect(target);
    FView->InvalidateAll();
}

void THexEditModel::ChangeByte(uint8_t oldValue, uint8_t newValue, int64_t offset)
{
    if (oldValue == newValue)
        return;
    // A write past the end would grow the file behind the layout's back, with no way to undo it.
    // An empty document is left to the gate, which refuses every change of it.
    if (ByteCount() > 0 && (offset < 0 || offset >= ByteCount()))
        throw EHexEditorError("Invalid ChangeByte offset");
    if (!Gate(ckByteChanged, offset, 1, 0))
        return;
    FDoc.WriteByte(offset, newValue);
    if (!InsertMode())
        FDoc.SetChanged(offset, true);
    const TCell hex = FLayout.ByteToCell(offset, TPane::Hex);
    FView->InvalidateCell(hex);
    FView->InvalidateCell({hex.Col + 1, hex.Row});
    FView->InvalidateCell(FLayout.ByteToCell(offset, TPane::Char));
}

uint8_t THexEditModel::GetMemory(int64_t index)
{
    if (index < 0 || index >= ByteCount())
        throw EHexEditorError("Invalid GetMemory index");
    return FDoc.CachedByte(index, 1);
}
