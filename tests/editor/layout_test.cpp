// Grid arithmetic and character translation of the hex editor.
#include "editor/char_translation.h"
#include "editor/hex_layout.h"

#include <gtest/gtest.h>

TEST(HexLayout, OffsetsOfEightAndTwelveKilobytes)
{
    THexLayout layout;
    EXPECT_EQ(layout.RowCount(8192), 512);
    EXPECT_EQ(layout.RowCount(12288), 768);
    EXPECT_EQ(layout.RowCount(0), 1);
    EXPECT_EQ(layout.RowCount(17), 2);
    const int hex = OffsetWidth(odHex, 511 * 16);
    EXPECT_EQ(hex, 7);
    EXPECT_EQ(OffsetText(odHex, 0, hex, ':'), "0x0000:");
    EXPECT_EQ(OffsetText(odHex, 511 * 16, hex, ':'), "0x1FF0:");
    EXPECT_EQ(OffsetText(odHex, 767 * 16, OffsetWidth(odHex, 767 * 16), ':'), "0x2FF0:");
    const int dec = OffsetWidth(odDec, 8176);
    EXPECT_EQ(dec, 5);
    EXPECT_EQ(OffsetText(odDec, 0, dec, ':'), "   0:");
    EXPECT_EQ(OffsetText(odDec, 8176, dec, ':'), "8176:");
    const int oct = OffsetWidth(odOctal, 8176);
    EXPECT_EQ(oct, 9);
    EXPECT_EQ(OffsetText(odOctal, 0, oct, ':'), "o 000000:");
    EXPECT_EQ(OffsetText(odOctal, 8176, oct, ':'), "o 017760:");
    EXPECT_EQ(OffsetWidth(odNone, 8176), 0);
    EXPECT_EQ(OffsetText(odNone, 16, 0, ':'), " ");
    EXPECT_EQ(OffsetWidth(odHex, 0), 4);
    EXPECT_EQ(EmptyOffsetText(odHex, ':'), "0x0:");
    EXPECT_EQ(EmptyOffsetText(odDec, '|'), "0|");
    EXPECT_EQ(EmptyOffsetText(odOctal, ':'), "o 0:");
    EXPECT_EQ(EmptyOffsetText(odNone, ':'), "   ");
}

TEST(HexLayout, ColumnWidthsFollowBytesPerColumn)
{
    THexLayout layout;
    layout.BytesPerColumn = 1;
    EXPECT_EQ(layout.ColumnCount(), 51);
    EXPECT_EQ(layout.ColumnChars(0, 7), 7);
    EXPECT_EQ(layout.ColumnChars(1, 7), 1);
    for (int c = 2; c < 34; ++c)
        EXPECT_EQ(layout.ColumnChars(c, 7), c % 2 ? 2 : 1) << c;
    EXPECT_EQ(layout.ColumnChars(34, 7), 1) << "separator";
    EXPECT_EQ(layout.ColumnChars(50, 7), 1);
    layout.BytesPerColumn = 2;
    for (int c = 2; c < 34; ++c)
        EXPECT_EQ(layout.ColumnChars(c, 7), c % 4 == 1 ? 2 : 1) << c;
    layout.ShowMarkerColumn = false;
    EXPECT_EQ(layout.ColumnChars(1, 7), 0);
}

TEST(HexLayout, CellsAndBytesMapBothWays)
{
    for (int bpl : {1, 3, 16, 256}) {
        THexLayout layout;
        layout.BytesPerLine = bpl;
        for (int64_t b : {int64_t(0), int64_t(1), int64_t(bpl - 1), int64_t(bpl), int64_t(5000)}) {
            for (TPane pane : {TPane::Hex, TPane::Char}) {
                const TCell cell = layout.ByteToCell(b, pane);
                EXPECT_EQ(layout.PaneOf(cell.Col), pane);
                EXPECT_EQ(layout.CellToByte(cell.Col, cell.Row), b);
                const int partner = layout.PartnerColumn(cell.Col);
                EXPECT_EQ(layout.CellToByte(partner, cell.Row), b);
                EXPECT_EQ(layout.PartnerColumn(partner), pane == TPane::Hex ? cell.Col : cell.Col);
            }
            const TCell hex = layout.ByteToCell(b, TPane::Hex);
            EXPECT_EQ(layout.CellToByte(hex.Col + 1, hex.Row), b) << "second digit";
        }
    }
    THexLayout layout;
    EXPECT_EQ(layout.CellToByte(34, 0), 16) << "the separator maps to the next row";
    EXPECT_EQ(layout.ByteToCell(-1, TPane::Char), (TCell{2, 0}));
    EXPECT_EQ(layout.PartnerColumn(3), 35);
    EXPECT_EQ(layout.PartnerColumn(50), 32);
}

TEST(HexLayout, DigitsGroupsAndSwappedNibbles)
{
    THexLayout layout;
    EXPECT_TRUE(layout.ShowsHighDigit(2));
    EXPECT_FALSE(layout.ShowsHighDigit(3));
    EXPECT_EQ(HexDigitOf(0x41, true), '4');
    EXPECT_EQ(HexDigitOf(0x41, false), '1');
    layout.SwapNibbles = true;
    EXPECT_FALSE(layout.ShowsHighDigit(2)) << "0x41 shows 1 first";
    EXPECT_TRUE(layout.ShowsHighDigit(3));
    layout.BytesPerColumn = 2;
    EXPECT_TRUE(layout.IsOddGroup(2));
    EXPECT_TRUE(layout.IsOddGroup(5));
    EXPECT_FALSE(layout.IsOddGroup(6));
    EXPECT_TRUE(layout.IsOddGroup(10));
    layout.BytesPerColumn = 1;
    EXPECT_FALSE(layout.IsOddGroup(4));
}

TEST(CharTranslation, ShowsBytesThroughEachTable)
{
    EXPECT_EQ(DisplayChar(0x41, ttAnsi, true, '.'), U'A');
    EXPECT_EQ(DisplayChar(0x0A, ttAnsi, true, '.'), U'.');
    EXPECT_EQ(DisplayChar(0x0A, ttAnsi, false, '.'), U'\n');
    EXPECT_EQ(DisplayChar(0x80, ttAnsi, true, '.'), U'\u20AC');
    EXPECT_EQ(DisplayChar(0xE9, ttAnsi, true, '.'), U'\u00E9');
    EXPECT_EQ(DisplayChar(0xB0, ttDos8, true, '.'), U'\u2591');
    EXPECT_EQ(DisplayChar(0x82, ttDos8, true, '.'), U'\u00E9');
    EXPECT_EQ(DisplayChar(0x82, ttASCII, true, '*'), U'*');
    EXPECT_EQ(DisplayChar(0x41, ttASCII, true, '*'), U'A');
    EXPECT_EQ(DisplayChar(0x8E, ttMac, true, '.'), U'\u00E9');
    EXPECT_EQ(DisplayChar(0xC1, ttEBCDIC, true, '.'), U'A');
    EXPECT_EQ(DisplayChar(0x00, ttEBCDIC, false, '#'), U'#') << "an empty table entry";
}

TEST(CharTranslation, TypedCharactersStoreTheirCodes)
{
    EXPECT_EQ(TypedByte(U'A', ttAnsi, false), 0x41);
    EXPECT_EQ(TypedByte(U'\u20AC', ttAnsi, false), 0x80);
    EXPECT_EQ(TypedByte(U'\t', ttAnsi, false), std::nullopt);
    EXPECT_EQ(TypedByte(U'\u4E00', ttAnsi, false), std::nullopt) << "not in the code page";
    EXPECT_EQ(TypedByte(U'\u00E9', ttDos8, false), 0x82);
    EXPECT_EQ(TypedByte(U'\u00E9', ttASCII, false), std::nullopt);
    EXPECT_EQ(TypedByte(U'z', ttASCII, false), 'z');
    EXPECT_EQ(TypedByte(U'\u00E9', ttMac, false), 0x8E);
    EXPECT_EQ(TypedByte(U'A', ttEBCDIC, false), 0xC1);
    EXPECT_EQ(TypedByte(U'\u00E9', ttAnsi, true), 0x82) << "Alt entry stores the OEM code";
    EXPECT_EQ(TypedByte(U'\x01', ttAnsi, true), 0x01);
}
