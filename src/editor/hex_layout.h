// Grid arithmetic of the hex editor: which column shows what, how wide it is, and how cells map to
// byte offsets. Column 0 is the offset, 1 the marker digit, then two digit columns per byte, one
// blank separator and one character column per byte.
#pragma once
#include <cstdint>
#include <string>

enum TOffsetDisplayStyle { odHex, odDec, odOctal, odNone };
enum class TPane { Hex, Char };

struct TCell {
    int Col = 2;
    int64_t Row = 0;
    bool operator==(const TCell &) const = default;
};

struct THexLayout {
    int BytesPerLine = 16;
    int BytesPerColumn = 2;
    bool SwapNibbles = false;
    bool ShowMarkerColumn = true;

    int ColumnCount() const { return 3 * BytesPerLine + 3; }
    int SeparatorColumn() const { return 2 * BytesPerLine + 2; }
    int FirstCharColumn() const { return 2 * BytesPerLine + 3; }
    bool IsHexColumn(int c) const { return c >= 2 && c < SeparatorColumn(); }
    bool IsCharColumn(int c) const { return c > SeparatorColumn(); }
    TPane PaneOf(int c) const { return IsCharColumn(c) ? TPane::Char : TPane::Hex; }

    // Width of column c in character widths; offsetWidth is the offset column's.
    int ColumnChars(int c, int offsetWidth) const;
    int64_t RowCount(int64_t byteCount) const;
    int64_t CellToByte(int c, int64_t r) const;
    TCell ByteToCell(int64_t b, TPane pane) const;
    int PartnerColumn(int c) const;
    bool ShowsHighDigit(int c) const;
    // Colour groups 0, 2, 4 ... are drawn in the odd-column colour, 1, 3 ... in the even one.
    bool IsOddGroup(int c) const;
    // The byte's first digit column for any digit column of it.
    int FirstDigitColumn(int c) const { return c - (c - 2) % 2; }
};

int OffsetWidth(TOffsetDisplayStyle style, int64_t lastRowOffset);
std::string OffsetText(TOffsetDisplayStyle style, int64_t offset, int width, char separator);
// The offset cell of an empty document's only row.
std::string EmptyOffsetText(TOffsetDisplayStyle style, char separator);
char HexDigitOf(uint8_t value, bool high);
