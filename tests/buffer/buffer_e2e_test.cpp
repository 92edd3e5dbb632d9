// The Intel-HEX reader and writer against srec_cat, an independent implementation of the format.
#include <cstdlib>
#include <gtest/gtest.h>

#include "buffer/binary_file.h"
#include "buffer/hex_file.h"
#include "buffer_test_support.h"
#include "shared_fixture.h"

namespace {

void SrecCat(const std::string &arguments)
{
    const std::string command = "srec_cat " + arguments + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string Quoted(const std::string &path)
{
    return "'" + path + "'";
}

} // namespace

TEST(HexAgainstSrecCat, WrittenFileConvertsToTheSameBytes)
{
    TTempDir dir;
    TMemoryBuffer memory;
    const std::string bytes = PatternBytes(BufferSize, 1);
    std::copy(bytes.begin(), bytes.end(), memory.Buffer.begin());
    for (auto [first, last] : {std::pair{0, 8191}, std::pair{0, 12287}, std::pair{3, 40}}) {
        ASSERT_TRUE(SaveHexFile(memory, first, last, dir.File("out.hex")).Ok);
        // srec_cat rejects a wrong checksum, so this checks the records as well as the data.
        SrecCat(Quoted(dir.File("out.hex")) + " -intel -offset " + std::to_string(-first) + " -o " +
                Quoted(dir.File("out.bin")) + " -binary");
        EXPECT_EQ(ReadBytes(dir.File("out.bin")), bytes.substr(first, last - first + 1)) << first << ".." << last;
    }
}

TEST(HexAgainstSrecCat, FileItWritesLoadsToTheSameBytes)
{
    TTempDir dir;
    const std::string bytes = PatternBytes(BufferSize, 2);
    WriteBytes(dir.File("in.bin"), bytes);
    // Its default output starts with an extended linear address record of base 0.
    SrecCat(Quoted(dir.File("in.bin")) + " -binary -o " + Quoted(dir.File("in.hex")) + " -intel");
    ASSERT_EQ(ReadBytes(dir.File("in.hex")).rfind(":02000004", 0), 0u);
    for (int device : {0, 1}) {
        TMemoryBuffer memory = FilledBuffer(0xEE);
        const TFileResult result = LoadHexFile(memory, device, dir.File("in.hex"), true, {});
        const int size = CodeMemorySize(device);
        EXPECT_EQ(result.Overflow, size < BufferSize);
        EXPECT_EQ(BufferBytes(memory, 0, size), bytes.substr(0, static_cast<std::size_t>(size))) << device;
        EXPECT_EQ(memory.HighestAddress, size - 1);
    }
}

TEST(HexAgainstSrecCat, ThirdPartyFirmwareLoadsLikeItsIndependentConversion)
{
    const std::filesystem::path folder = SharedFixtureFolder("basic52");
    if (!std::filesystem::is_directory(folder))
        GTEST_SKIP() << MissingFixtureMessage(folder);
    TTempDir dir;
    const std::string firmware = (folder / "basic52_v11.ihx").string();
    SrecCat(Quoted(firmware) + " -Intel -crop 0 0x2000 -fill 0xFF 0 0x2000 -o " + Quoted(dir.File("ref.bin")) +
            " -Binary");
    TMemoryBuffer memory;
    memory.FillBuffer(0xFF, 0);
    TNoteRecorder recorder;
    const TFileResult result = LoadHexFile(memory, 0, firmware, false, recorder.Notify());
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_FALSE(result.Overflow);
    EXPECT_TRUE(recorder.Notes.empty());
    EXPECT_EQ(memory.HighestAddress, 8191);

    // The saved image matches srec_cat's conversion byte for byte.
    ASSERT_TRUE(SaveBinaryFile(memory, 0, dir.File("ours.bin")).Ok);
    const std::string reference = ReadBytes(dir.File("ref.bin"));
    ASSERT_EQ(reference.size(), 8192u);
    EXPECT_EQ(ReadBytes(dir.File("ours.bin")), reference);
}
