// The rule every unattended write loads its file by: what it refuses, what a lenient load takes, and
// that a refused load leaves the buffer as it was.
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

#include "buffer/unattended_load.h"
#include "buffer_test_support.h"

namespace {

const std::string Sound = ":03000000020130CA\n:00000001FF\n";

// A data record of sixteen 5A bytes, its checksum right.
std::string SixteenBytes(unsigned address)
{
    unsigned sum = 16 + (address >> 8) + (address & 0xFF) + 16 * 0x5A;
    char head[16], tail[4];
    std::snprintf(head, sizeof head, ":10%04X00", address);
    std::snprintf(tail, sizeof tail, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    std::string line = head;
    for (int i = 0; i < 16; ++i)
        line += "5A";
    return line + tail;
}

struct TCase {
    const char *What;
    std::string Name;
    std::string Content;
    int Device;
    TLoadTarget Target;
    TUnattendedLoad::TRefusal Strict;  // without --lenient
    TUnattendedLoad::TRefusal Lenient; // with it
    std::string Said;                  // the reason, or the lenient warning, after the file's name
    std::size_t Covered;               // bytes taken when not refused
};

using R = TUnattendedLoad::TRefusal;
constexpr auto Code = TLoadTarget::CodeMemory;
constexpr auto Data = TLoadTarget::DataMemory;

TEST(UnattendedLoad, RefusesWhatTheChipWouldNotHoldAsItIsAndTakesWhatFitsWhenLenient)
{
    const std::string kib6(6000, '\x5A'), kib12(12288, '\x5A'), long2k(3000, '\x11');
    std::string hex12k;
    for (unsigned address = 0; address < 0x3000; address += 16)
        hex12k += SixteenBytes(address) + "\n";
    hex12k += ":00000001FF\n";
    const TCase cases[] = {
        {"sound", "fw.hex", Sound, 0, Code, R::None, R::None, "", 3},
        {"a hex file named .txt", "fw.txt", Sound, 0, Code, R::None, R::None, "", 3},
        {"a binary", "fw.bin", "\x02\x01\x30", 0, Code, R::None, R::None, "", 3},
        {"empty", "fw.bin", "", 0, Code, R::FileError, R::FileError, " is empty: there is nothing to write", 0},
        {"no data record", "fw.hex", ":00000001FF\n", 0, Code, R::FileError, R::FileError,
         " holds no data record, only the end-of-file record", 0},
        {"a wrong checksum", "fw.hex", ":03000000020130CB\n:0100030055A7\n:00000001FF\n", 0, Code, R::Damaged, R::None,
         ": line 1 is damaged (wrong checksum)", 1},
        {"nothing but a damaged data record", "fw.hex", ":03000000020130CB\n:00000001FF\n", 0, Code, R::Damaged,
         R::FileError, ": line 1 is damaged (wrong checksum)", 0},
        {"data after the end record", "fw.hex", Sound + ":0100030055A7\n", 0, Code, R::Damaged, R::None,
         ": line 3 is damaged (after the end-of-file record)", 3},
        {"6000 bytes on an AT89S51", "fw.bin", kib6, 2, Code, R::Damaged, R::None,
         " holds 1904 bytes beyond the 4096 bytes of the AT89S51's code memory", 4096},
        {"12 KiB on an AT89S8252", "fw.bin", kib12, 0, Code, R::Damaged, R::None,
         " holds 4096 bytes beyond the 8192 bytes of the AT89S8252's code memory", 8192},
        {"12 KiB of Intel-HEX on an AT89S8252", "fw.hex", hex12k, 0, Code, R::Damaged, R::None,
         " holds 4096 bytes beyond the 8192 bytes of the AT89S8252's code memory", 8192},
        {"3000 bytes for the data memory", "fw.bin", long2k, 0, Data, R::Damaged, R::None,
         " holds 952 bytes beyond the 2048 bytes of data memory", 2048},
        {"nothing within the memory", "fw.hex", ":01200000AA35\n:00000001FF\n", 0, Code, R::Damaged, R::FileError,
         ": none of its data lies within the 8192 bytes of code memory", 0},
    };
    TTempDir dir;
    for (const TCase &c : cases) {
        for (const bool lenient : {false, true}) {
            SCOPED_TRACE(std::string(c.What) + (lenient ? ", lenient" : ""));
            const std::string file = dir.File(c.Name);
            WriteBytes(file, c.Content);
            TMemoryBuffer memory = FilledBuffer(0xEE);
            memory.HighestAddress = 77;
            memory.WholeDevice = true;
            const TMemoryBuffer before = memory;
            const TUnattendedLoad load = LoadForUnattendedWrite(memory, c.Device, file, c.Target, lenient);
            const R expected = lenient ? c.Lenient : c.Strict;
            EXPECT_EQ(load.Refusal, expected);
            if (!load.Ok()) {
                if (expected == c.Strict)
                    EXPECT_EQ(load.Reason.rfind(file + c.Said, 0), 0u) << load.Reason;
                EXPECT_EQ(memory.Buffer, before.Buffer);
                EXPECT_EQ(memory.HighestAddress, 77);
                continue;
            }
            // The data memory's load keeps the file's bytes above it in the buffer, where no write reaches.
            const std::size_t reach = c.Target == Code ? BufferSize : DataMemorySize;
            std::size_t covered = 0;
            for (std::size_t i = 0; i < reach; ++i)
                covered += memory.FileBytes[i];
            EXPECT_EQ(covered, c.Covered);
            EXPECT_FALSE(memory.WholeDevice);
            const std::string said = c.Said.empty() ? "" : file + c.Said;
            EXPECT_EQ(load.Warnings.empty() ? "" : load.Warnings.front().substr(0, said.size()), said);
            for (std::size_t i = 0; i < reach; ++i)
                if (!memory.FileBytes[i])
                    ASSERT_EQ(memory.Buffer[i], 0xEE) << i << ": a byte the file does not give keeps its value";
        }
    }
}

TEST(UnattendedLoad, SaysHowItReadTheFile)
{
    TTempDir dir;
    WriteBytes(dir.File("bad.hex"), ":03000000020130CB\n:00000001FF\n");
    TMemoryBuffer untouched;
    EXPECT_EQ(LoadForUnattendedWrite(untouched, 0, dir.File("bad.hex"), TLoadTarget::CodeMemory, true).Reason,
              dir.File("bad.hex") + ": line 1 is damaged (wrong checksum), and no other record holds data")
        << "a lenient load that skipped all it found names the damage";
    WriteBytes(dir.File("fw.txt"), "\xEF\xBB\xBF:03000000020130CA\r:00000001FF\r");
    TMemoryBuffer memory;
    const TUnattendedLoad load = LoadForUnattendedWrite(memory, 0, dir.File("fw.txt"), TLoadTarget::CodeMemory, false);
    ASSERT_TRUE(load.Ok()) << load.Reason;
    EXPECT_EQ(load.Notes, (std::vector<std::string>{
                              dir.File("fw.txt") + " is read as Intel-HEX: its first line is an Intel-HEX record",
                              dir.File("fw.txt") + ": read with CR line ends and a UTF-8 byte-order mark"}));
    EXPECT_EQ(BufferBytes(memory, 0, 3), "\x02\x01\x30");
    EXPECT_EQ(memory.HighestAddress, 2);
}

} // namespace
