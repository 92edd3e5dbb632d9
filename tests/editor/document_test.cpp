// The document behind the hex editor: its bytes against a plain vector, its storage file, its gate.
#include "editor/editor_error.h"
#include "editor/hex_edit_model.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + seed);
    return bytes;
}

void ExpectSame(THexEditModel &model, const std::vector<uint8_t> &expected, int step)
{
    ASSERT_EQ(model.ByteCount(), static_cast<int64_t>(expected.size())) << "step " << step;
    for (size_t i = 0; i < expected.size(); ++i)
        if (model.GetMemory(static_cast<int64_t>(i)) != expected[i])
            FAIL() << "step " << step << ": byte " << i << " differs";
}

// Picks positions that straddle the view cache's edges as often as random ones.
int64_t PickOffset(std::mt19937 &rng, THexEditModel &model)
{
    const int64_t count = model.ByteCount();
    const int64_t start = model.Document().CacheStart();
    if (start >= 0 && rng() % 2) {
        const int64_t edge = rng() % 2 ? start + THexDocument::CacheSize : start;
        const int64_t b = edge - 1 - static_cast<int64_t>(rng() % 24) + static_cast<int64_t>(rng() % 2) * 24;
        if (b >= 0 && b < count)
            return b;
    }
    return static_cast<int64_t>(rng() % static_cast<uint64_t>(count));
}

class TDifferential {
public:
    explicit TDifferential(uint32_t seed) : Rng(seed) {}

    void Step()
    {
        switch (Rng() % 8) {
        case 0: Insert(); break;
        case 1: Delete(); break;
        case 2: Undo(); break;
        default: Change(); break;
        }
    }

    std::mt19937 Rng;
    THexEditModel Model;
    std::vector<uint8_t> Bytes;
    std::vector<std::vector<uint8_t>> Before; // what each undo must bring back

private:
    void Remember()
    {
        Before.push_back(Bytes);
        if (Before.size() > TUndoHistory::MaxRecords)
            Before.erase(Before.begin());
    }

    void Change()
    {
        if (Bytes.empty())
            return Insert();
        Model.GetMemory(static_cast<int64_t>(Rng() % Bytes.size())); // as drawing would
        const int64_t b = PickOffset(Rng, Model);
        const auto value = static_cast<uint8_t>(Rng());
        const uint8_t old = Model.GetMemory(b);
        if (old != value)
            Remember();
        Model.ChangeByte(old, value, b);
        Bytes[static_cast<size_t>(b)] = value;
    }

    void Insert()
    {
        const int64_t at = static_cast<int64_t>(Rng() % (Bytes.size() + 1));
        const auto data = Pattern(1 + Rng() % 40000, static_cast<uint8_t>(Rng()));
        Remember();
        Model.InsertBuffer(data.data(), static_cast<int64_t>(data.size()), at);
        Bytes.insert(Bytes.begin() + at, data.begin(), data.end());
    }

    void Delete()
    {
        if (Bytes.size() < 2)
            return Insert();
        const int64_t a = PickOffset(Rng, Model);
        const int64_t e = std::min<int64_t>(a + static_cast<int64_t>(Rng() % 30000), Model.ByteCount() - 1);
        Model.SetSelStart(a);
        Model.SetSelEnd(e);
        Remember();
        Model.DeleteSelection();
        Bytes.erase(Bytes.begin() + a, Bytes.begin() + e + 1);
    }

    void Undo()
    {
        if (Before.empty())
            return Change();
        Model.Undo();
        Bytes = Before.back();
        Before.pop_back();
    }
};

} // namespace

TEST(HexDocument, FollowsAVectorThroughRandomEditsAndUndos)
{
    for (uint32_t seed : {1u, 2u, 3u}) {
        TDifferential run(seed);
        const auto start = Pattern(150000, 3);
        run.Model.InsertBuffer(start.data(), static_cast<int64_t>(start.size()), 0);
        run.Bytes = start;
        run.Before.push_back({});
        for (int step = 0; step < 150; ++step) {
            run.Step();
            ExpectSame(run.Model, run.Bytes, step);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(HexDocument, ByteChangedAtTheCacheEdgeIsReadBackNew)
{
    THexEditModel model;
    const auto bytes = Pattern(200000, 0);
    model.InsertBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0);
    model.GetMemory(100000); // cache now covers 67232 .. 132767
    const int64_t lastCached = model.Document().CacheStart() + THexDocument::CacheSize - 1;
    const uint8_t old = model.GetMemory(lastCached);
    model.ChangeByte(old, static_cast<uint8_t>(old + 1), lastCached);
    EXPECT_EQ(model.GetMemory(lastCached), static_cast<uint8_t>(old + 1));
}

TEST(HexDocument, ChangedMarksFollowChangesAndCuts)
{
    THexEditModel model;
    const auto bytes = Pattern(64, 0);
    model.InsertBuffer(bytes.data(), 64, 0);
    model.ChangeByte(bytes[3], 0xEE, 3);
    model.ChangeByte(bytes[40], 0xEE, 40);
    EXPECT_TRUE(model.Document().IsChanged(3));
    EXPECT_TRUE(model.Document().IsChanged(40));
    EXPECT_FALSE(model.Document().IsChanged(4));
    model.SetSelStart(20);
    model.DeleteSelection(); // removes byte 20; marks from 20 on go
    EXPECT_TRUE(model.Document().IsChanged(3));
    EXPECT_FALSE(model.Document().IsChanged(39));
    EXPECT_FALSE(model.Document().IsChanged(40));
}

// ---- the storage file --------------------------------------------------------------------------

TEST(StorageFile, IsCreatedPrivateOnFirstWriteAndRemovedAtTheEnd)
{
    std::string path;
    {
        THexEditModel model;
        path = model.Document().StoragePath();
        const std::filesystem::path p(path);
        EXPECT_EQ(p.parent_path(), std::filesystem::temp_directory_path());
        EXPECT_EQ(p.extension(), ".ZWHT");
        EXPECT_EQ(p.stem().string().size(), 8u);
        EXPECT_EQ(p.stem().string().find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(p)) << "opened before anything was stored";

        const uint8_t byte = 0x55;
        model.InsertBuffer(&byte, 1, 0);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 1);

        model.NewDocument("Temp.Fil");
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        model.InsertBuffer(&byte, 1, 0);
        EXPECT_EQ(std::filesystem::file_size(path), 1u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(StorageFile, NeverFollowsALinkPlantedAtItsName)
{
    const std::string victim = std::filesystem::temp_directory_path() / "korvel_editor_victim.txt";
    std::ofstream(victim) << "keep";
    THexEditModel model;
    const std::string planned = model.Document().StoragePath();
    std::filesystem::create_symlink(victim, planned);

    const auto bytes = Pattern(100, 1);
    model.InsertBuffer(bytes.data(), 100, 0);
    EXPECT_NE(model.Document().StoragePath(), planned);
    EXPECT_EQ(model.GetMemory(99), bytes[99]);
    std::ifstream in(victim);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    std::filesystem::remove(planned);
    std::filesystem::remove(victim);
}

TEST(StorageFile, TwoEditorsNeverShareAFile)
{
    THexEditModel a;
    THexEditModel b;
    const uint8_t one = 1, two = 2;
    a.InsertBuffer(&one, 1, 0);
    b.InsertBuffer(&two, 1, 0);
    EXPECT_NE(a.Document().StoragePath(), b.Document().StoragePath());
    EXPECT_EQ(a.GetMemory(0), 1);
    EXPECT_EQ(b.GetMemory(0), 2);
}

// ---- the gate and the errors -------------------------------------------------------------------

namespace {
class TCountingView : public THexNullView {
public:
    void PostStateChanged() override { ++Posted; }
    int64_t VisibleRows() const override { return 10; }
    int Posted = 0;
};
} // namespace

TEST(ChangeGate, RefusesEveryChangeOfAnEmptyDocumentButInsertions)
{
    THexEditModel model;
    TCountingView view;
    model.SetView(&view);
    model.ChangeByte(0, 1, 0);
    model.DeleteSelection();
    EXPECT_EQ(model.ByteCount(), 0);
    EXPECT_EQ(model.UndoText(), "No Undo");
    EXPECT_FALSE(model.Modified());
    EXPECT_EQ(view.Posted, 2) << "each refused change still tells its state";

    const uint8_t byte = 9;
    model.AppendBuffer(&byte, 1);
    EXPECT_EQ(model.ByteCount(), 1);
    EXPECT_EQ(model.UndoText(), "Append buffer");
    EXPECT_TRUE(model.Modified());
}

TEST(ChangeGate, NoSizeChangeAllowsOnlyOverwriting)
{
    THexEditModel model;
    const auto bytes = Pattern(32, 0);
    model.InsertBuffer(bytes.data(), 32, 0);
    model.SetAllowInsertMode(true);
    model.SetNoSizeChange(true);
    EXPECT_FALSE(model.AllowInsertMode());
    model.SetAllowInsertMode(true);
    EXPECT_FALSE(model.AllowInsertMode());

    const int records = model.History().Count();
    model.InsertBuffer(bytes.data(), 4, 0);
    model.AppendBuffer(bytes.data(), 4);
    model.SetSelStart(2);
    model.DeleteSelection();
    model.SetSelEnd(5);
    const uint8_t three[3] = {1, 2, 3};
    model.ReplaceSelection(three, 3);
    EXPECT_EQ(model.ByteCount(), 32);
    EXPECT_EQ(model.History().Count(), records);
    EXPECT_EQ(model.GetMemory(2), bytes[2]);

    const uint8_t four[4] = {1, 2, 3, 4};
    model.ReplaceSelection(four, 4); // same length: allowed
    EXPECT_EQ(model.GetMemory(2), 1);
    EXPECT_EQ(model.UndoText(), "Replace selection");
    model.ChangeByte(model.GetMemory(10), 0xAB, 10);
    EXPECT_EQ(model.GetMemory(10), 0xAB);
}

TEST(HexEditorErrors, ReportTheirFixedTextsAndChangeNothing)
{
    THexEditModel model;
    const auto bytes = Pattern(16, 0);
    model.InsertBuffer(bytes.data(), 16, 0);
    const auto expectError = [](const std::function<void()> &call, const char *text) {
        try {
            call();
            ADD_FAILURE() << "no error, expected " << text;
        } catch (const EHexEditorError &e) {
            EXPECT_STREQ(e.what(), text);
        }
    };
    expectError([&] { model.GetMemory(16); }, "Invalid GetMemory index");
    expectError([&] { model.GetMemory(-1); }, "Invalid GetMemory index");
    expectError([&] { model.SetSelStart(16); }, "Invalid SelStart");
    expectError([&] { model.SetSelEnd(-1); }, "Invalid SelEnd");
    expectError([&] { model.SetMarker(10, 0); }, "SetMarker : Invalid marker index");
    expectError([&] { model.SetBytesPerLine(0); }, "Invalid BytesPerLine argument");
    expectError([&] { model.SetBytesPerLine(257); }, "Invalid BytesPerLine argument");
    expectError([&] { model.InsertBuffer(bytes.data(), 1, 17); }, "Invalid InsertBuffer position");
    EXPECT_EQ(model.Layout().BytesPerLine, 16);
    EXPECT_EQ(model.ByteCount(), 16);
    EXPECT_EQ(model.SelStart(), 0) << "the load's selection is kept";
    EXPECT_EQ(model.SelEnd(), 15);
}

TEST(HexEditorErrors, ChangeByteOutsideTheDocumentNeitherGrowsNorRecordsIt)
{
    THexEditModel model;
    const auto bytes = Pattern(16, 0);
    model.InsertBuffer(bytes.data(), 16, 0);
    for (int64_t offset : {int64_t(16), int64_t(100), int64_t(-1)}) {
        try {
            model.ChangeByte(0, 0x55, offset);
            ADD_FAILURE() << "no error at " << offset;
        } catch (const EHexEditorError &e) {
            EXPECT_STREQ(e.what(), "Invalid ChangeByte offset");
        }
    }
    model.Document().DropCache();
    model.GetMemory(0); // the cache reload re-reads the length from the file
    EXPECT_EQ(model.ByteCount(), 16);
    EXPECT_EQ(std::filesystem::file_size(model.Document().StoragePath()), 16u);
    EXPECT_EQ(model.History().Count(), 1);
    EXPECT_EQ(model.UndoText(), "Insert buffer");
}
