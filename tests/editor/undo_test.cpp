// The undo history: the bytes of each record kind, the cap of 100 records, and what Undo restores.
#include "editor/hex_edit_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Le(int32_t v)
{
    const auto u = static_cast<uint32_t>(v);
    return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

// Builds the expected bytes of one record field by field.
std::vector<uint8_t> Record(uint8_t kind, uint8_t mark, uint8_t modified, int32_t caret, uint8_t digit,
                            uint8_t pane, int32_t selStart, int32_t selEnd, int32_t anchor, int32_t p,
                            int32_t a, int32_t b, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> r = {kind, mark, modified};
    const auto add = [&r](const std::vector<uint8_t> &part) { r.insert(r.end(), part.begin(), part.end()); };
    add(Le(caret));
    r.push_back(digit);
    r.push_back(pane);
    for (int32_t v : {selStart, selEnd, anchor, p, a, b})
        add(Le(v));
    add(payload);
    add(Le(static_cast<int32_t>(r.size() + 4)));
    return r;
}

std::vector<uint8_t> NewestBytes(const THexEditModel &model)
{
    const auto &s = model.History().Stream();
    const size_t n = s[s.size() - 4] | s[s.size() - 3] << 8;
    return {s.end() - static_cast<std::ptrdiff_t>(n), s.end()};
}

class UndoRecords : public testing::Test {
protected:
    void SetUp() override
    {
        std::vector<uint8_t> bytes(40);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(0x10 + i);
        Model.NewDocument("Temp.Fil");
        Model.InsertBuffer(bytes.data(), 40, 0);
        Model.SetSelStart(0);
        Model.SetSelEnd(0);
    }
    THexEditModel Model;
};

} // namespace

TEST_F(UndoRecords, InsertBufferRecordsOneZeroByte)
{
    THexEditModel fresh;
    const uint8_t data[3] = {1, 2, 3};
    fresh.InsertBuffer(data, 3, 0);
    EXPECT_EQ(NewestBytes(fresh), Record(2, 0, 0, 0, 0, 0, -1, -1, -1, 0, 3, 0, {0}));
    EXPECT_EQ(NewestBytes(fresh).size(), 38u);
}

TEST_F(UndoRecords, ByteChangedKeepsOldByteMarkAndCaret)
{
    Model.ChangeByte(0x10, 0x4F, 0);
    EXPECT_EQ(NewestBytes(Model), Record(0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, {0x10}));
    Model.ChangeByte(0x4F, 0x41, 0); // the byte is marked changed now
    EXPECT_EQ(NewestBytes(Model), Record(0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, {0x4F}));
    EXPECT_EQ(Model.UndoText(), "Byte changed");
}

TEST_F(UndoRecords, RemovalKeepsTheRemovedBytes)
{
    Model.SetSelStart(5);
    Model.SetSelEnd(7);
    Model.DeleteSelection();
    EXPECT_EQ(NewestBytes(Model), Record(1, 0, 1, 5, 0, 0, 5, 7, 5, 5, 3, 0, {0x15, 0x16, 0x17}));
    EXPECT_EQ(Model.UndoText(), "Byte(s) removed");
}

TEST_F(UndoRecords, ReplaceAndAppendRecords)
{
    Model.SetSelStart(2);
    Model.SetSelEnd(3);
    const uint8_t one = 0xAA;
    Model.ReplaceSelection(&one, 1);
    EXPECT_EQ(NewestBytes(Model), Record(3, 0, 1, 2, 0, 0, 2, 3, 2, 2, 1, 2, {0x12, 0x13}));
    Model.AppendBuffer(&one, 1);
    EXPECT_EQ(NewestBytes(Model), Record(4, 0, 1, 3, 0, 0, -1, -1, -1, 39, 1, 0, {0}));
    EXPECT_EQ(Model.UndoText(), "Append buffer");

    Model.Undo();
    EXPECT_EQ(Model.ByteCount(), 39);
    EXPECT_EQ(Model.UndoText(), "Replace selection");
    Model.Undo();
    EXPECT_EQ(Model.ByteCount(), 40);
    EXPECT_EQ(Model.GetMemory(2), 0x12);
    EXPECT_EQ(Model.GetMemory(3), 0x13);
    EXPECT_EQ(Model.GetMemory(4), 0x14);
}

TEST_F(UndoRecords, UndoRestoresCaretSelectionAndModified)
{
    EXPECT_TRUE(Model.Modified());
    Model.NewDocument("x");
    std::vector<uint8_t> bytes(40, 0x33);
    Model.InsertBuffer(bytes.data(), 40, 0);
    Model.Undo();
    Model.InsertBuffer(bytes.data(), 40, 0);
    Model.SetSelStart(20);
    Model.SetSelEnd(25);
    Model.DeleteSelection();
    EXPECT_EQ(Model.SelLength(), 0);
    Model.Undo();
    EXPECT_EQ(Model.SelStart(), 20);
    EXPECT_EQ(Model.SelEnd(), 25);
    EXPECT_EQ(Model.SelAnchor(), 20);
    EXPECT_EQ(Model.CaretByte(), 20);
    EXPECT_EQ(Model.ByteCount(), 40);
    EXPECT_TRUE(Model.Modified()) << "the load counts as a change";
}

TEST_F(UndoRecords, ByteUndoRestoresTheMarkAndModified)
{
    Model.NewDocument("x");
    std::vector<uint8_t> bytes(16, 0xFF);
    Model.InsertBuffer(bytes.data(), 16, 0);
    Model.ChangeByte(0xFF, 0x4F, 0);
    Model.ChangeByte(0x4F, 0x41, 0);
    Model.Undo();
    EXPECT_EQ(Model.GetMemory(0), 0x4F);
    EXPECT_TRUE(Model.Document().IsChanged(0));
    Model.Undo();
    EXPECT_EQ(Model.GetMemory(0), 0xFF);
    EXPECT_FALSE(Model.Document().IsChanged(0));
    EXPECT_EQ(Model.UndoText(), "Insert buffer");
}

TEST(UndoHistory, KeepsTheNewestHundredRecords)
{
    THexEditModel model;
    std::vector<uint8_t> bytes(200, 0);
    model.InsertBuffer(bytes.data(), 200, 0);
    for (int i = 0; i < 101; ++i)
        model.ChangeByte(0, 1, i);
    EXPECT_EQ(model.History().Count(), 100);
    EXPECT_EQ(model.History().Stream().size(), 100u * 38u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(model.UndoText(), "Byte changed");
        model.Undo();
    }
    EXPECT_EQ(model.UndoText(), "No Undo");
    EXPECT_EQ(model.GetMemory(0), 1) << "the dropped oldest change stays";
    EXPECT_EQ(model.GetMemory(1), 0);
    EXPECT_EQ(model.GetMemory(100), 0);
    EXPECT_EQ(model.ByteCount(), 200) << "the insertion was dropped too";
    model.Undo();
    EXPECT_EQ(model.ByteCount(), 200);
}

TEST(UndoHistory, UndoOfAnInsertionIntoAnEmptyDocumentEmptiesIt)
{
    THexEditModel model;
    std::vector<uint8_t> bytes(8192, 0xFF);
    model.InsertBuffer(bytes.data(), 8192, 0);
    EXPECT_EQ(model.SelStart(), 0);
    EXPECT_EQ(model.SelEnd(), 8191);
    model.Undo();
    EXPECT_EQ(model.ByteCount(), 0);
    EXPECT_EQ(model.RowCount(), 1);
    EXPECT_EQ(model.Current(), (TCell{2, 0}));
    EXPECT_EQ(model.UndoText(), "No Undo");
    EXPECT_FALSE(model.Modified());
}
