#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "buffer/binary_file.h"
#include "buffer_test_support.h"

namespace {

// The note names the chip's own size and what is left out.
std::string BinaryNote(const std::string &size, const std::string &leftOut)
{
    return "The file you are going to load contains more bytes than\n"
           "the buffer for this device can hold! Please note that the\n"
           "buffer contents represents only the first " + size + " bytes\n"
           "of the file contents.\n" + leftOut + " are left out.";
}

class BinaryLoad : public ::testing::Test {
protected:
    TFileResult Load(const std::string &bytes, int device, bool silent = false)
    {
        WriteBytes(Dir.File("in.bin"), bytes);
        return LoadBinaryFile(Memory, device, Dir.File("in.bin"), silent, Recorder.Notify());
    }

    TTempDir Dir;
    TMemoryBuffer Memory = FilledBuffer(0xEE);
    TNoteRecorder Recorder;
};

std::filesystem::perms Permissions(const std::string &path)
{
    return std::filesystem::status(path).permissions();
}

} // namespace

TEST_F(BinaryLoad, SmallFileFillsFromZeroAndLeavesTheRest)
{
    const std::string bytes = PatternBytes(100);
    ASSERT_TRUE(Load(bytes, 0).Ok);
    EXPECT_EQ(Memory.HighestAddress, 99);
    EXPECT_EQ(BufferBytes(Memory, 0, 100), bytes);
    EXPECT_EQ(BufferBytes(Memory, 100, BufferSize - 100), std::string(BufferSize - 100, '\xEE'));
    EXPECT_EQ(Recorder.Refreshes, 1);
    EXPECT_TRUE(Recorder.Notes.empty());
}

TEST_F(BinaryLoad, EmptyFileGivesAnEmptyWriteRange)
{
    Memory.HighestAddress = 300;
    ASSERT_TRUE(Load("", 0).Ok);
    EXPECT_EQ(Memory.HighestAddress, -1);
    EXPECT_LT(Memory.WriteRangeLast(true, 0), 0);
    EXPECT_EQ(std::count(Memory.Buffer.begin(), Memory.Buffer.end(), 0xEE), BufferSize);
}

TEST_F(BinaryLoad, LongerFileLoadsWhatFitsAndShowsTheNote)
{
    const std::string bytes = PatternBytes(10000);
    const TFileResult result = Load(bytes, 0);
    EXPECT_TRUE(result.Ok);
    EXPECT_TRUE(result.Overflow);
    EXPECT_EQ(Memory.HighestAddress, 8191);
    EXPECT_EQ(BufferBytes(Memory, 0, 8192), bytes.substr(0, 8192));
    EXPECT_EQ(Memory.Buffer[8191], static_cast<std::uint8_t>(bytes[8191]));
    EXPECT_EQ(BufferBytes(Memory, 8192, BufferSize - 8192), std::string(BufferSize - 8192, '\xEE'));
    ASSERT_EQ(Recorder.Notes.size(), 1u);
    EXPECT_EQ(Recorder.Notes[0].first, "Note");
    EXPECT_EQ(Recorder.Notes[0].second,
              BinaryNote("8192", "1808 bytes of it lie beyond the 8192 bytes of the AT89S8252's code memory and"));
    EXPECT_EQ(result.BeyondMemory, 1808);
    EXPECT_EQ(Memory.FileBytes.count(), 8192u);

    Recorder.Notes.clear();
    EXPECT_TRUE(Load(bytes, 0, true).Overflow);
    EXPECT_TRUE(Recorder.Notes.empty());

    EXPECT_TRUE(Load(bytes, 2).Overflow);
    EXPECT_EQ(Recorder.Notes.back().second,
              BinaryNote("4096", "5904 bytes of it lie beyond the 4096 bytes of the AT89S51's code memory and"));
    EXPECT_TRUE(Load(bytes, 7).Overflow);
    EXPECT_EQ(Memory.HighestAddress, 15);
    EXPECT_EQ(Recorder.Notes.size(), 2u);
    EXPECT_EQ(Recorder.Notes.back().second, BinaryNote("16", "9984 bytes of it lie beyond the 16 bytes of the code memory and"));
}

TEST_F(BinaryLoad, FilesThatFitLoadWholeWithoutANote)
{
    const std::string bytes = PatternBytes(10000, 9);
    const TFileResult result = Load(bytes, 1);
    EXPECT_FALSE(result.Overflow);
    EXPECT_EQ(Memory.HighestAddress, 9999);
    EXPECT_EQ(BufferBytes(Memory, 0, 10000), bytes);

    for (int device : {0, 1, 2}) {
        const int size = CodeMemorySize(device);
        EXPECT_FALSE(Load(PatternBytes(static_cast<std::size_t>(size)), device).Overflow) << device;
        EXPECT_EQ(Memory.HighestAddress, size - 1) << device;
    }
    EXPECT_TRUE(Recorder.Notes.empty());
}

TEST_F(BinaryLoad, MissingFileFailsWithItsNameAndKeepsTheBuffer)
{
    const TFileResult result = LoadBinaryFile(Memory, 0, Dir.File("absent.bin"), false, Recorder.Notify());
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Error.find(Dir.File("absent.bin")), std::string::npos) << result.Error;
    EXPECT_NE(result.Error.find("No such file"), std::string::npos) << result.Error;
    EXPECT_EQ(Memory.HighestAddress, -1);
    EXPECT_EQ(std::count(Memory.Buffer.begin(), Memory.Buffer.end(), 0xEE), BufferSize);
    EXPECT_EQ(Recorder.Refreshes, 1);
}

// Loading only reads, so a file the user may not write still loads.
TEST_F(BinaryLoad, ReadOnlyFileLoads)
{
    const std::string bytes = PatternBytes(300);
    WriteBytes(Dir.File("ro.bin"), bytes);
    ::chmod(Dir.File("ro.bin").c_str(), 0444);
    TFileResult result;
    {
        TUnprivileged nobody;
        result = LoadBinaryFile(Memory, 0, Dir.File("ro.bin"), false, {});
    }
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(Memory.HighestAddress, 299);
    EXPECT_EQ(BufferBytes(Memory, 0, 300), bytes);
}

TEST(BinarySave, AlwaysWritesTheWholeCodeMemory)
{
    TTempDir dir;
    TMemoryBuffer memory;
    const std::string bytes = PatternBytes(BufferSize, 5);
    std::copy(bytes.begin(), bytes.end(), memory.Buffer.begin());
    memory.HighestAddress = 10;
    memory.WholeDevice = false;
    for (int device : {0, 1, 2}) {
        const std::string name = dir.File("out" + std::to_string(device) + ".bin");
        ASSERT_TRUE(SaveBinaryFile(memory, device, name).Ok);
        EXPECT_EQ(ReadBytes(name), bytes.substr(0, static_cast<std::size_t>(CodeMemorySize(device)))) << device;
    }
    ASSERT_TRUE(SaveBinaryRange(memory, 0, DataMemorySize - 1, dir.File("data.bin")).Ok);
    EXPECT_EQ(ReadBytes(dir.File("data.bin")), bytes.substr(0, DataMemorySize));
    EXPECT_FALSE(SaveBinaryRange(memory, 0, BufferSize, dir.File("bad.bin")).Ok);
    EXPECT_FALSE(std::filesystem::exists(dir.File("bad.bin")));
}

TEST(BinarySave, ReplacesALongerFileAndKeepsItsPermissions)
{
    TTempDir dir;
    const std::string name = dir.File("old.bin");
    WriteBytes(name, std::string(20000, 'x'));
    ::chmod(name.c_str(), 0640);
    TMemoryBuffer memory = FilledBuffer(0x11);
    ASSERT_TRUE(SaveBinaryFile(memory, 0, name).Ok);
    EXPECT_EQ(ReadBytes(name), std::string(8192, '\x11'));
    EXPECT_EQ(Permissions(name), std::filesystem::perms(0640));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Folder()), {}), 1) << "a temporary file was left";
}

TEST(BinarySave, NewFileGetsTheUsualPermissionsAndALinkStaysALink)
{
    TTempDir dir;
    const mode_t old = ::umask(022);
    TMemoryBuffer memory = FilledBuffer(0x22);
    ASSERT_TRUE(SaveBinaryFile(memory, 7, dir.File("new.bin")).Ok);
    ::umask(old);
    EXPECT_EQ(Permissions(dir.File("new.bin")), std::filesystem::perms(0644));

    std::filesystem::create_symlink("new.bin", dir.File("link.bin"));
    memory.Buffer.fill(0x33);
    ASSERT_TRUE(SaveBinaryFile(memory, 7, dir.File("link.bin")).Ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.bin")));
    EXPECT_EQ(ReadBytes(dir.File("new.bin")), std::string(16, '\x33'));
}

class FailedSave : public ::testing::Test {
protected:
    void SetUp() override { WriteBytes(Old, "old contents"); }
    void ExpectOldFileIntact()
    {
        EXPECT_EQ(ReadBytes(Old), "old contents");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Folder()), {}), 1) << "a temporary file was left";
    }

    TTempDir Dir;
    std::string Old = Dir.File("keep.bin");
    TMemoryBuffer Memory = FilledBuffer(0x44);
};

TEST_F(FailedSave, WriteErrorHalfwayLeavesTheOldFile)
{
    // A file-size limit makes the write fail after the temporary file was created, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const TFileResult result = SaveBinaryFile(Memory, 0, Old);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Error.find(Old), std::string::npos) << result.Error;
    ExpectOldFileIntact();
}

// A folder the user may not write (a shared install, someone else's folder) still lets him rewrite a
// file he may write; a file he may not write stays as it was, and a new file cannot be made there.
TEST(BinarySave, ReadOnlyFolderRewritesAWritableFileInPlace)
{
    TTempDir dir;
    const std::string shared = dir.File("shared.bin"), locked = dir.File("locked.bin");
    WriteBytes(shared, std::string(20000, 'x'));
    WriteBytes(locked, "locked");
    ::chmod(shared.c_str(), 0666);
    ::chmod(locked.c_str(), 0444);
    ::chmod(dir.Folder().c_str(), 0555);
    const TMemoryBuffer memory = FilledBuffer(0x44);
    TFileResult written, refused, created;
    {
        TUnprivileged nobody;
        written = SaveBinaryFile(memory, 0, shared);
        refused = SaveBinaryFile(memory, 0, locked);
        created = SaveBinaryFile(memory, 0, dir.File("new.bin"));
    }
    ::chmod(dir.Folder().c_str(), 0755);
    EXPECT_TRUE(written.Ok) << written.Error;
    EXPECT_EQ(ReadBytes(shared), std::string(8192, '\x44'));
    EXPECT_EQ(Permissions(shared), std::filesystem::perms(0666));
    EXPECT_NE(refused.Error.find("Permission denied"), std::string::npos) << refused.Error;
    EXPECT_EQ(ReadBytes(locked), "locked");
    EXPECT_FALSE(created.Ok);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Folder()), {}), 2);
}

// Replacing a file through its folder must not hand it to whoever saved it.
TEST(BinarySave, ReplacedFileKeepsItsOwnerAndGroup)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another user";
    TTempDir dir;
    const std::string name = dir.File("theirs.bin");
    WriteBytes(name, "old");
    ASSERT_EQ(::chown(name.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(SaveBinaryFile(FilledBuffer(0x55), 7, name).Ok);
    struct stat status {};
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
    EXPECT_EQ(ReadBytes(name), std::string(16, '\x55'));
}

TEST_F(FailedSave, TargetsThatAreNoFileOrHaveNoFolderFailClearly)
{
    std::filesystem::create_directory(Dir.File("sub"));
    WriteBytes(Dir.File("sub/inside"), "x");
    const TFileResult folder = SaveBinaryFile(Memory, 0, Dir.File("sub"));
    EXPECT_FALSE(folder.Ok);
    EXPECT_NE(folder.Error.find("Is a directory"), std::string::npos) << folder.Error;
    EXPECT_EQ(ReadBytes(Dir.File("sub/inside")), "x");
    std::filesystem::remove_all(Dir.File("sub"));

    ASSERT_EQ(::mkfifo(Dir.File("pipe").c_str(), 0600), 0);
    const TFileResult pipe = SaveBinaryFile(Memory, 0, Dir.File("pipe"));
    EXPECT_NE(pipe.Error.find("not a regular file"), std::string::npos) << pipe.Error;
    EXPECT_EQ(std::filesystem::status(Dir.File("pipe")).type(), std::filesystem::file_type::fifo);
    std::filesystem::remove(Dir.File("pipe"));

    const TFileResult missing = SaveBinaryFile(Memory, 0, Dir.File("nowhere/out.bin"));
    EXPECT_FALSE(missing.Ok);
    EXPECT_NE(missing.Error.find("nowhere/out.bin"), std::string::npos) << missing.Error;
    ExpectOldFileIntact();
}
