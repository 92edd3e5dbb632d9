#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <gtest/gtest.h>

#include "buffer/hex_file.h"
#include "buffer/hex_reader.h"
#include "buffer_test_support.h"

namespace {

const char HexNote[] = "The Hexfile you are going to load contains addresses beyond\n"
                       "the buffer capacity for this device! Please note that the\n"
                       "buffer contents may represent the Hexfile only in parts.\n"
                       "32 bytes of it lie beyond the 8192 bytes of the AT89S8252's code memory and are left out.";

// A record with a correct checksum, upper-case, without line end.
std::string Record(unsigned type, unsigned address, const std::vector<unsigned> &data)
{
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char field[16];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = field;
    for (unsigned value : data) {
        std::snprintf(field, sizeof field, "%02X", value);
        line += field;
        sum += value;
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::vector<unsigned> Counting(unsigned first, unsigned count)
{
    std::vector<unsigned> data(count);
    for (unsigned i = 0; i < count; ++i)
        data[i] = (first + i) & 0xFF;
    return data;
}

// One line on its own, after no extended address record.
bool ParseLine(TMemoryBuffer &memory, int device, std::string_view line)
{
    std::uint32_t base = 0;
    return ParseHexLine(memory, device, line, base).Dropped == 0;
}

class HexLoad : public ::testing::Test {
protected:
    TFileResult Load(const std::string &text, int device = 0, bool silent = false)
    {
        WriteBytes(Dir.File("in.hex"), text);
        return LoadHexFile(Memory, device, Dir.File("in.hex"), silent, Recorder.Notify());
    }

    TTempDir Dir;
    TMemoryBuffer Memory = FilledBuffer(0xEE);
    TNoteRecorder Recorder;
};

} // namespace

TEST_F(HexLoad, RecordLandsAtItsAddressAndSetsTheWriteRange)
{
    Memory.WholeDevice = false;
    ASSERT_TRUE(Load(Record(0, 0x10, {1, 2, 3, 4}) + "\r\n:00000001FF\r\n").Ok);
    EXPECT_EQ(BufferBytes(Memory, 16, 4), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(BufferBytes(Memory, 0, 16), std::string(16, '\xEE'));
    EXPECT_EQ(Memory.Buffer[20], 0xEE);
    EXPECT_EQ(Memory.HighestAddress, 19);
    EXPECT_EQ(Memory.WriteRangeLast(true, 0), 19);
    EXPECT_EQ(Recorder.Refreshes, 1);
    EXPECT_TRUE(Recorder.Notes.empty());
}

TEST_F(HexLoad, RecordCrossingTheCodeMemoryEndKeepsTheBytesThatFit)
{
    const TFileResult result = Load(Record(0, 0x1FF8, Counting(0x40, 16)) + "\n");
    EXPECT_TRUE(result.Overflow);
    EXPECT_EQ(BufferBytes(Memory, 0x1FF8, 8), "@ABCDEFG");
    EXPECT_EQ(BufferBytes(Memory, 0x2000, 8), std::string(8, '\xEE'));
    EXPECT_EQ(Memory.HighestAddress, 0x1FFF);
    ASSERT_EQ(Recorder.Notes.size(), 1u);
}

TEST_F(HexLoad, DataBeyondTheChipShowsTheNoteOncePerFile)
{
    const std::string text = Record(0, 0x2000, Counting(0, 16)) + "\n" + Record(0, 0x2010, Counting(0, 16)) +
                             "\n" + Record(0, 0x0000, {0xAA}) + "\n:00000001FF\n";
    EXPECT_TRUE(Load(text, 0).Overflow);
    EXPECT_EQ(BufferBytes(Memory, 0x2000, 32), std::string(32, '\xEE'));
    EXPECT_EQ(Memory.Buffer[0], 0xAA);
    EXPECT_EQ(Memory.HighestAddress, 0);
    ASSERT_EQ(Recorder.Notes.size(), 1u);
    EXPECT_EQ(Recorder.Notes[0].first, "Note");
    EXPECT_EQ(Recorder.Notes[0].second, HexNote);
    EXPECT_LT(Recorder.Notes[0].second.find('\n'), Recorder.Notes[0].second.find("the buffer"));

    Recorder.Notes.clear();
    EXPECT_FALSE(Load(text, 1).Overflow);
    EXPECT_EQ(Memory.Buffer[0x2000], 0x00);
    EXPECT_EQ(Memory.Buffer[0x201F], 0x0F);
    EXPECT_EQ(Memory.HighestAddress, 0x201F);
    EXPECT_TRUE(Recorder.Notes.empty());
}

TEST_F(HexLoad, UnknownDeviceKindHoldsSixteenBytes)
{
    EXPECT_TRUE(Load(Record(0, 0x0008, Counting(1, 16)) + "\n", 7).Overflow);
    EXPECT_EQ(Memory.Buffer[8], 1);
    EXPECT_EQ(Memory.Buffer[15], 8);
    EXPECT_EQ(Memory.Buffer[16], 0xEE);
    EXPECT_EQ(Memory.HighestAddress, 15);
}

TEST_F(HexLoad, SilentLoadReportsTheOverflowButShowsNoNote)
{
    EXPECT_TRUE(Load(Record(0, 0x2000, {1}) + "\n", 0, true).Overflow);
    EXPECT_TRUE(Recorder.Notes.empty());
    EXPECT_EQ(Recorder.Refreshes, 1);
}

TEST_F(HexLoad, ChecksumCaseAndRecordTypesAreNotJudged)
{
    const std::string text = ":04001000ABCDEF0100\n" // wrong checksum
                             ":02002000abcdFF\n"     // lower-case digits
                             ":01004000BB01\n"       // data, wrong checksum
                             ":01006006DDFF\n"       // a type without a meaning is taken as data
                             ":01005001CC03\n";      // end record with data: nothing stored
    ASSERT_TRUE(Load(text).Ok);
    EXPECT_EQ(BufferBytes(Memory, 0x10, 4), "\xAB\xCD\xEF\x01");
    EXPECT_EQ(BufferBytes(Memory, 0x20, 2), "\xAB\xCD");
    EXPECT_EQ(Memory.Buffer[0x40], 0xBB);
    EXPECT_EQ(Memory.Buffer[0x50], 0xEE);
    EXPECT_EQ(Memory.Buffer[0x60], 0xDD);
    EXPECT_EQ(Memory.HighestAddress, 0x60);
}

// Address records carry addresses, not data: a start address at the end of a file must not land on
// the reset vector, and data after an extended address lies where that address puts it.
TEST_F(HexLoad, AddressRecordsStoreNothingAndPlaceTheDataAfterThem)
{
    const std::string text = Record(0, 0, {0x02, 0x01, 0x00}) + "\n" +
                             Record(4, 0, {0x00, 0x01}) + "\n" + Record(0, 0x0003, {0x11}) + "\n" + // 10003
                             Record(4, 0, {0x00, 0x00}) + "\n" + Record(0, 0x0004, {0x22}) + "\n" +
                             Record(2, 0, {0x01, 0x00}) + "\n" + Record(0, 0x0005, {0x33}) + "\n" + // 1005
                             Record(2, 0, {0x10, 0x00}) + "\n" + Record(0, 0x0006, {0x44}) + "\n" + // 10006
                             Record(2, 0, {0x00, 0x00}) + "\n" + Record(0, 0x0007, {0x55}) + "\n" +
                             Record(3, 0, {0x00, 0x00, 0x00, 0x00}) + "\n" + Record(5, 0, {0x00, 0x00, 0x00, 0x00}) +
                             "\n:00000001FF\n";
    EXPECT_TRUE(Load(text).Overflow);
    ASSERT_EQ(Recorder.Notes.size(), 1u);
    EXPECT_EQ(BufferBytes(Memory, 0, 8), std::string("\x02\x01\x00\xEE\x22\xEE\xEE\x55", 8));
    EXPECT_EQ(Memory.Buffer[0x1005], 0x33);
    EXPECT_EQ(Memory.HighestAddress, 0x1005);
}

TEST_F(HexLoad, EndRecordNeitherStoresNorStopsTheReading)
{
    ASSERT_TRUE(Load(":01000001AA55\n:00000001FF\n" + Record(0, 5, {0x12}) + "\n").Ok);
    EXPECT_EQ(Memory.Buffer[0], 0xEE);
    EXPECT_EQ(Memory.Buffer[5], 0x12);
    EXPECT_EQ(Memory.HighestAddress, 5);
}

TEST_F(HexLoad, CtrlZEndsTheFileEvenInsideALine)
{
    ASSERT_TRUE(Load(Record(0, 1, {0x11}) + "\r\n" + ":01000200" + "22\x1A" + "33\n" + Record(0, 3, {0x44}) + "\n").Ok);
    EXPECT_EQ(Memory.Buffer[1], 0x11);
    EXPECT_EQ(Memory.Buffer[2], 0x22);
    EXPECT_EQ(Memory.Buffer[3], 0xEE);
    EXPECT_EQ(Memory.HighestAddress, 2);
}

// Besides storing what it can, a load says what it met: a file without a single data record is no
// Intel-HEX file and changes nothing; damage is named by its first line and counted.
TEST_F(HexLoad, NamesDamageAndRefusesAFileWithoutData)
{
    const std::string good = Record(0, 0x10, {1, 2, 3, 4}), end = ":00000001FF";
    struct TCase {
        std::string Text;
        std::string Error;   // after the file's name
        std::string Warning; // after the file's name
    };
    const TCase cases[] = {
        {good + "\r\n" + end + "\r\n", "", ""},
        {good + "\n\n \t\r\n" + end + "  \n\x1A", "", ""},
        {"hello\n", " is not an Intel-HEX file: it holds no data record", ""},
        {":10000000ZZ\n", " is not an Intel-HEX file: it holds no data record", ""},
        {"", " is not an Intel-HEX file: it holds no data record", ""},
        {end + "\n", " holds no data record, only the end-of-file record", ""},
        {":0400100001020304E3\n" + end, "", ": line 1 is damaged (wrong checksum)"},
        {good + "\njunk\n:0100200011XX\n" + end, "",
         ": 2 lines are damaged, the first is line 2 (not an Intel-HEX record)"},
        {good + "\n", "", ": the end-of-file record is missing: the file may be cut off"},
        {good + "\n" + good.substr(0, 13), "",
         ": line 2 is damaged (not an Intel-HEX record); the end-of-file record is missing: the file may be cut off"},
        {good + std::string(600, '0') + "\n" + end, "", ": line 1 is damaged (not an Intel-HEX record)"},
        {Record(0, 0x2000, {1}) + "\n" + end, "", ": none of its data lies within the 8192 bytes of code memory"},
    };
    const std::string name = Dir.File("in.hex");
    for (const TCase &c : cases) {
        Memory = FilledBuffer(0xEE);
        Memory.HighestAddress = 500;
        const TFileResult result = Load(c.Text);
        EXPECT_EQ(result.Ok, c.Error.empty()) << c.Text;
        EXPECT_EQ(result.Error, c.Error.empty() ? "" : name + c.Error) << c.Text;
        EXPECT_EQ(result.Warning, c.Warning.empty() ? "" : name + c.Warning) << c.Text;
        if (!result.Ok) {
            EXPECT_EQ(std::count(Memory.Buffer.begin(), Memory.Buffer.end(), 0xEE), BufferSize) << c.Text;
            EXPECT_EQ(Memory.HighestAddress, 500) << c.Text;
        }
    }
    ASSERT_TRUE(Load(":0400100001020304E3\n").Ok);
    EXPECT_EQ(BufferBytes(Memory, 16, 4), "\x01\x02\x03\x04") << "a damaged record is loaded all the same";
}

// Files that are right in an unusual form are read as they are meant, fed whole or byte by byte,
// and the load says how it read them.
TEST_F(HexLoad, CrLineEndsAByteOrderMarkAndIndentedRecordsAreReadAndNamed)
{
    const std::string a = Record(0, 0, {1, 2}), b = Record(0, 0x100, {3}), end = ":00000001FF";
    const struct {
        std::string Text;
        std::string Note; // after "FILE: read with "
    } cases[] = {
        {a + "\r" + b + "\r" + end + "\r", "CR line ends"},
        {a + "\r" + b + "\r" + end, "CR line ends"},
        {"\xEF\xBB\xBF" + a + "\r\n" + b + "\r\n" + end + "\r\n", "a UTF-8 byte-order mark"},
        {"  " + a + "\n\t" + b + "\n" + end + "\n", "2 records indented by blanks"},
        {"\xEF\xBB\xBF " + a + "\r" + b + "\r" + end, "CR line ends, a UTF-8 byte-order mark and 1 record indented by blanks"},
    };
    for (const auto &c : cases) {
        for (const std::size_t chunk : {c.Text.size(), std::size_t{1}}) {
            SCOPED_TRACE(c.Note + ", chunks of " + std::to_string(chunk));
            Memory = FilledBuffer(0xEE);
            THexReader reader(Memory, 0);
            for (std::size_t at = 0; at < c.Text.size(); at += chunk)
                reader.Feed(std::string_view(c.Text).substr(at, chunk));
            reader.Finish();
            EXPECT_EQ(BufferBytes(Memory, 0, 3), "\x01\x02\xEE");
            EXPECT_EQ(Memory.Buffer[0x100], 3);
            EXPECT_EQ(reader.Findings().DamagedLines, 0);
            EXPECT_TRUE(reader.Findings().EndRecord);
        }
        const TFileResult result = Load(c.Text);
        EXPECT_EQ(result.Warning, "") << c.Note;
        EXPECT_EQ(result.Note, Dir.File("in.hex") + ": read with " + c.Note);
    }
    EXPECT_EQ(Load(a + "\n" + end + "\n").Note, "") << "a plain file is not remarked on";
}

// Records the format does not have are damage like a wrong checksum: data after the end record, and
// types from 06 up. The buffer menu still reads them by position (with the warning); an unattended
// lenient load skips every damaged line whole, so a line that lost its colon puts nothing anywhere.
TEST_F(HexLoad, RecordsTheFormatDoesNotHaveAreDamageAndASkippingLoadStoresNothingOfThem)
{
    const std::string good = Record(0, 0x10, {0x11}), end = ":00000001FF";
    const std::string noColon = Record(0, 0, {0x02, 0x01, 0x30}).substr(1); // by position: $20 at $0000
    const struct {
        std::string Text;
        std::string Warning; // after the file's name
        int Address;         // where the damaged line's data would land, read by position
    } cases[] = {
        {good + "\n" + end + "\n" + Record(0, 0x30, {0x55}) + "\n", ": line 3 is damaged (after the end-of-file record)", 0x30},
        {good + "\n" + Record(6, 0x40, {0x66}) + "\n" + end + "\n",
         ": line 2 is damaged (a record type Intel-HEX does not have)", 0x40},
        {good + "\n:0100500077FF\n" + end + "\n", ": line 2 is damaged (wrong checksum)", 0x50},
        {good + "\n" + noColon + "\n" + end + "\n", ": line 2 is damaged (not an Intel-HEX record)", 0x00},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Warning);
        Memory = FilledBuffer(0xEE);
        TFileResult read = Load(c.Text);
        EXPECT_EQ(read.Warning, Dir.File("in.hex") + c.Warning);
        EXPECT_NE(Memory.Buffer[static_cast<std::size_t>(c.Address)], 0xEE) << "read by position";
        Memory = FilledBuffer(0xEE);
        const TFileResult skipped = LoadHexFile(Memory, 0, Dir.File("in.hex"), true, {}, THexReader::TDamaged::Skip);
        EXPECT_EQ(skipped.Warning, read.Warning);
        EXPECT_EQ(Memory.Buffer[0x10], 0x11);
        EXPECT_EQ(std::count(Memory.Buffer.begin(), Memory.Buffer.end(), 0xEE), BufferSize - 1) << "only the good line";
        EXPECT_EQ(Memory.FileBytes.count(), 1u);
        EXPECT_TRUE(Memory.FileBytes[0x10]);
    }
}

// The Buffer menu's choice is kept; an unattended load knows Intel-HEX by the usual extensions and,
// for any other name, by a first line that is a record.
TEST(HexFormat, KnownByItsExtensionsOrByItsFirstLine)
{
    for (const char *name : {"a.hex", "a.HEX", "a.ihx", "a.ihex", "a.h86", "a.mcs", "a.Hxl", "a.a43"})
        EXPECT_TRUE(IsHexFileName(name)) << name;
    for (const char *name : {"a.bin", "a.txt", "hex", "a.hex.bin", "a"})
        EXPECT_FALSE(IsHexFileName(name)) << name;
    TTempDir dir;
    const std::string record = Record(0, 0, {0x02, 0x01, 0x30});
    const std::pair<std::string, bool> cases[] = {
        {record + "\n:00000001FF\n", true},
        {"\xEF\xBB\xBF\r\n  \r\n\t" + record + "\r", true},
        {record.substr(0, record.size() - 1) + "0\n", false}, // a wrong checksum
        {"; comment\n" + record + "\n", false},
        {std::string("\x02\x01\x30", 3), false},
        {std::string(2000, ' ') + record, false},
        {"", false},
    };
    for (const auto &[text, hex] : cases) {
        WriteBytes(dir.File("f.txt"), text);
        EXPECT_EQ(StartsWithHexRecord(dir.File("f.txt")), hex) << text;
    }
    EXPECT_FALSE(StartsWithHexRecord(dir.File("absent.txt")));
}

TEST_F(HexLoad, LineEndsDoNotChangeTheResult)
{
    const std::string records[] = {Record(0, 0, {1, 2}), Record(0, 0x100, {3}), Record(0, 0x1FFF, {4})};
    std::vector<std::string> images;
    for (const std::string ending : {"\n", "\r\n"}) {
        for (bool lastLineEnded : {true, false}) {
            Memory = FilledBuffer(0);
            std::string text = records[0] + ending + records[1] + ending + records[2];
            ASSERT_TRUE(Load(lastLineEnded ? text + ending : text).Ok);
            EXPECT_EQ(Memory.HighestAddress, 0x1FFF);
            images.push_back(BufferBytes(Memory, 0, BufferSize));
        }
    }
    EXPECT_EQ(std::count(images.begin(), images.end(), images[0]), 4);
    EXPECT_EQ(images[0][0x1FFF], 4);
}

TEST_F(HexLoad, MissingFileFailsWithItsNameAndStillRefreshes)
{
    Memory.HighestAddress = 77;
    const TFileResult result = LoadHexFile(Memory, 0, Dir.File("absent.hex"), false, Recorder.Notify());
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Error.find(Dir.File("absent.hex")), std::string::npos) << result.Error;
    EXPECT_NE(result.Error.find("No such file"), std::string::npos) << result.Error;
    EXPECT_EQ(Memory.HighestAddress, 0);
    EXPECT_EQ(Recorder.Refreshes, 1);

    const TFileResult folder = LoadHexFile(Memory, 0, Dir.Folder(), false, Recorder.Notify());
    EXPECT_FALSE(folder.Ok);
    EXPECT_NE(folder.Error.find("directory"), std::string::npos) << folder.Error;
}

// A device or a pipe picked by mistake has no end (or no writer): the load must come back, and
// say why, instead of reading or waiting for ever.
TEST_F(HexLoad, DevicesAndPipesAreRefusedInsteadOfReadForever)
{
    const std::string pipe = Dir.File("pipe.hex");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    for (const std::string &name : {std::string("/dev/zero"), pipe}) {
        auto loaded = std::make_shared<std::promise<TFileResult>>();
        auto memory = std::make_shared<TMemoryBuffer>();
        std::thread([loaded, memory, name] { loaded->set_value(LoadHexFile(*memory, 0, name, true, {})); }).detach();
        auto result = loaded->get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready) << name << " still loading";
        const TFileResult load = result.get();
        EXPECT_FALSE(load.Ok) << name;
        EXPECT_NE(load.Error.find(name), std::string::npos) << load.Error;
        EXPECT_NE(load.Error.find("not a regular file"), std::string::npos) << load.Error;
    }
}

TEST(HexLine, ShortAndMalformedLinesAreIgnored)
{
    TMemoryBuffer memory = FilledBuffer(0xEE);
    for (const char *line : {"", ":0100000", ":01000000", ":01G0000011", ":01 000 0011", ":010000X011", ":0X00000011",
                             ":00000000FF"}) {
        EXPECT_TRUE(ParseLine(memory, 0, line)) << line;
    }
    EXPECT_EQ(std::count(memory.Buffer.begin(), memory.Buffer.end(), 0xEE), BufferSize);
    EXPECT_EQ(memory.HighestAddress, 0);
}

TEST(HexLine, StartCodeIsNotExamined)
{
    TMemoryBuffer memory;
    EXPECT_TRUE(ParseLine(memory, 0, "x0100050099"));
    EXPECT_EQ(memory.Buffer[5], 0x99);
}

TEST(HexLine, BadOrMissingDataFieldsSkipOnlyTheirByte)
{
    TMemoryBuffer memory = FilledBuffer(0xEE);
    EXPECT_TRUE(ParseLine(memory, 0, ":03000000AAZZCC"));
    EXPECT_EQ(BufferBytes(memory, 0, 3), "\xAA\xEE\xCC");

    // The count claims more than the line holds: the checksum is taken as data, the rest is missing.
    memory = FilledBuffer(0xEE);
    EXPECT_TRUE(ParseLine(memory, 0, ":06010000112233C4"));
    EXPECT_EQ(BufferBytes(memory, 0x100, 6), "\x11\x22\x33\xC4\xEE\xEE");
    EXPECT_EQ(memory.HighestAddress, 0x103);

    // A field cut to one digit by the end of the line converts that digit.
    memory = FilledBuffer(0xEE);
    EXPECT_TRUE(ParseLine(memory, 0, ":020004007"));
    EXPECT_EQ(BufferBytes(memory, 4, 2), "\x07\xEE");
}

TEST(HexLine, HighestAddressOnlyRises)
{
    TMemoryBuffer memory;
    ParseLine(memory, 1, ":0100200011");
    ParseLine(memory, 1, ":0100100022");
    EXPECT_EQ(memory.HighestAddress, 0x20);
    EXPECT_FALSE(ParseLine(memory, 0, ":02FFFF00AABB"));
    EXPECT_EQ(memory.HighestAddress, 0x20);
}

// The reader keeps only the part of a long line a record can use; feeding the same text in chunks
// of any size must give what splitting the whole text and parsing each line gives.
TEST(HexReader, ChunkSizeDoesNotChangeTheResult)
{
    const auto full = [](unsigned address) { return Record(0, address, Counting(0, 255)); };
    const std::string text = Record(0, 0, {1, 2, 3}) + "\r\n" +
                             full(0x100) + std::string(3000, 'Q') + "\r\n" + // long line
                             full(0x400).substr(0, 519) + "\r\n" +          // all usable characters, then CR LF
                             full(0x600).substr(0, 518) + "\r5\r\n" +      // a CR inside the last data field
                             full(0x800).substr(0, 518) + "\r\n" +          // last data field cut to one digit
                             ":\r\n\r\n" + Record(6, 0x10, {9}) + "\n" + Record(0, 0x300, Counting(7, 255)) +
                             std::string(700, '0') + "\x1A" + Record(0, 0x20, {5}) + "\n";
    TMemoryBuffer expected = FilledBuffer(0xEE);
    std::uint32_t base = 0;
    const std::string beforeEnd = text.substr(0, text.find('\x1A'));
    for (std::size_t start = 0; start <= beforeEnd.size();) {
        std::size_t end = std::min(beforeEnd.find('\n', start), beforeEnd.size());
        std::string_view line(beforeEnd.data() + start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ParseHexLine(expected, 1, line, base);
        start = end + 1;
    }
    ASSERT_EQ(expected.Buffer[0x1FE], 0xFE);
    ASSERT_EQ(expected.Buffer[0x4FE], 0xFE);
    ASSERT_EQ(expected.Buffer[0x6FD], 0xFD);
    ASSERT_EQ(expected.Buffer[0x6FE], 0xEE);
    ASSERT_EQ(expected.Buffer[0x8FE], 0x0F);
    ASSERT_EQ(expected.Buffer[0x3FE], 0x05);
    ASSERT_EQ(expected.Buffer[0x20], 0xEE);

    std::optional<THexFindings> findings;
    for (std::size_t chunkSize : {text.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{519},
                                  std::size_t{522}, std::size_t{4096}}) {
        TMemoryBuffer memory = FilledBuffer(0xEE);
        THexReader reader(memory, 1);
        for (std::size_t at = 0; at < text.size(); at += chunkSize)
            reader.Feed(std::string_view(text).substr(at, chunkSize));
        reader.Finish();
        EXPECT_TRUE(reader.Ended());
        EXPECT_EQ(memory.Buffer, expected.Buffer) << "chunks of " << chunkSize;
        EXPECT_EQ(memory.HighestAddress, expected.HighestAddress) << "chunks of " << chunkSize;
        EXPECT_EQ(reader.Findings(), findings.value_or(reader.Findings())) << "chunks of " << chunkSize;
        findings = reader.Findings();
    }
    EXPECT_EQ(findings->DamagedLines, 7)
        << "the long line, the CR inside, the two cut ones, \":\", type 06, the 700 zeros";
    EXPECT_EQ(findings->FirstDamagedLine, 2);
}

TEST(HexWriter, WritesUpperCaseSixteenByteRecordsAndTheEndRecord)
{
    TTempDir dir;
    TMemoryBuffer memory;
    for (int i = 0; i < 16; ++i)
        memory.Buffer[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    memory.Buffer[16] = 0xAB;
    ASSERT_TRUE(SaveHexFile(memory, 0, 16, dir.File("out.hex")).Ok);
    EXPECT_EQ(ReadBytes(dir.File("out.hex")), ":10000000000102030405060708090A0B0C0D0E0F78\n"
                                              ":01001000AB44\n"
                                              ":00000001FF\n");
    ASSERT_TRUE(SaveHexFile(memory, 0, -1, dir.File("empty.hex")).Ok);
    EXPECT_EQ(ReadBytes(dir.File("empty.hex")), ":00000001FF\n");
}

TEST(HexWriter, RoundTripThroughTheReader)
{
    TTempDir dir;
    TMemoryBuffer source;
    const std::string bytes = PatternBytes(BufferSize, 3);
    std::copy(bytes.begin(), bytes.end(), source.Buffer.begin());
    for (auto [first, last] : {std::pair{0, 8191}, std::pair{5, 12287}, std::pair{100, 100}}) {
        ASSERT_TRUE(SaveHexFile(source, first, last, dir.File("round.hex")).Ok);
        TMemoryBuffer loaded = FilledBuffer(0xEE);
        ASSERT_TRUE(LoadHexFile(loaded, 1, dir.File("round.hex"), false, {}).Ok);
        EXPECT_EQ(BufferBytes(loaded, first, last - first + 1), bytes.substr(first, last - first + 1));
        EXPECT_EQ(BufferBytes(loaded, 0, first), std::string(first, '\xEE'));
        EXPECT_EQ(loaded.HighestAddress, last);
    }
}

TEST(HexWriter, RangeOutsideTheBufferFailsWithoutCreatingAFile)
{
    TTempDir dir;
    TMemoryBuffer memory;
    const TFileResult result = SaveHexFile(memory, 0, BufferSize, dir.File("bad.hex"));
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Error.find("bad.hex"), std::string::npos);
    EXPECT_FALSE(SaveHexFile(memory, -1, 10, dir.File("bad.hex")).Ok);
    EXPECT_FALSE(std::filesystem::exists(dir.File("bad.hex")));
}
