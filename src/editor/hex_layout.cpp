#include "editor/hex_layout.h"

#include <algorithm>
#include <cstdio>

int THexLayout::ColumnChars(int c, int offsetWidth) const
{
    if (c == 0)
        return offsetWidth;
    if (c == 1)
        return ShowMarkerColumn ? 1 : 0;
    if (IsHexColumn(c) && c % (2 * BytesPerColumn) == 1)
        return 2;
    return 1;
}

int64_t THexLayout::RowCount(int64_t byteCount) const
{
    return std::max<int64_t>(1, (byteCount + BytesPerLine - 1) / BytesPerLine);
}

int64_t THexLayout::CellToByte(int c, int64_t r) const
{
    const int64_t b = IsCharColumn(c) ? r * BytesPerLine + c - FirstCharColumn()
                                      : r * BytesPerLine + (c - 2) / 2;
    return std::max<int64_t>(b, 0);
}

TCell THexLayout::ByteToCell(int64_t b, TPane pane) const
{
    if (b < 0)
        return {2, 0};
    const int k = static_cast<int>(b % BytesPerLine);
    return {pane == TPane::Hex ? 2 + 2 * k : FirstCharColumn() + k, b / BytesPerLine};
}

int THexLayout::PartnerColumn(int c) const
{
    return IsCharColumn(c) ? 2 * c - 4 * BytesPerLine - 4 : (c - 2) / 2 + FirstCharColumn();
}

bool THexLayout::ShowsHighDigit(int c) const
{
    return (c - 2) % 2 == (SwapNibbles ? 1 : 0);
}

bool THexLayout::IsOddGroup(int c) const
{
    return (c - 2) / (2 * BytesPerColumn) % 2 == 0;
}

namespace {

std::string Format(const char *format, long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

int OffsetWidth(TOffsetDisplayStyle style, int64_t lastRowOffset)
{
    switch (style) {
    case odHex: return static_cast<int>(Format("%llX", lastRowOffset).size()) + 3;
    case odDec: return static_cast<int>(Format("%lld", lastRowOffset).size()) + 1;
    case odOctal: return static_cast<int>(Format("0%llo", lastRowOffset).size()) + 3;
    case odNone: return 0;
    }
    return 0;
}

std::string OffsetText(TOffsetDisplayStyle style, int64_t offset, int width, char separator)
{
    const int digits = std::max(width - 3, 0);
    switch (style) {
    case odHex: {
        std::string hex = Format("%llX", offset);
        return "0x" + std::string(std::max<int>(digits - static_cast<int>(hex.size()), 0), '0') + hex +
               separator;
    }
    case odDec: {
        std::string dec = Format("%lld", offset);
        const int pad = std::max<int>(width - 1 - static_cast<int>(dec.size()), 0);
        return std::string(pad, ' ') + dec + separator;
    }
    case odOctal: {
        std::string oct = "0" + Format("%llo", offset);
        return "o " + std::string(std::max<int>(digits - static_cast<int>(oct.size()), 0), '0') + oct +
               separator;
    }
    case odNone: return " ";
    }
    return " ";
}

std::string EmptyOffsetText(TOffsetDisplayStyle style, char separator)
{
    switch (style) {
    case odHex: return std::string("0x0") + separator;
    case odDec: return std::string("0") + separator;
    case odOctal: return std::string("o 0") + separator;
    case odNone: return "   ";
    }
    return "   ";
}

char HexDigitOf(uint8_t value, bool high)
{
    return "0123456789ABCDEF"[high ? value >> 4 : value & 15];
}
