// Instruction encodings of every chip kind and the presence test's exact instruction stream.
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "recording_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(InstructionEncoding, CodeAddressExamples)
{
    for (int device : {0, 1}) {
        EXPECT_EQ(CodeAddressByte1(0x1234, device, TAccess::Read), 0x91) << device;
        EXPECT_EQ(CodeAddressByte1(0x1FFF, device, TAccess::Read), 0xF9) << device;
    }
    EXPECT_EQ(CodeAddressByte1(0x2345, 1, TAccess::Read), 0x1D);
    EXPECT_EQ(CodeAddressByte1(0x2345, 0, TAccess::Read), 0x19);
    EXPECT_EQ(CodeAddressByte1(0x2FFF, 1, TAccess::Read), 0x7D);
    EXPECT_EQ(CodeAddressByte1(0x2FFF, 1, TAccess::Write), 0x7E);
    // The AT89S8252 drops A13: 0x2000 and up alias onto 0x0000 and up.
    EXPECT_EQ(CodeAddressByte1(0x2000, 0, TAccess::Write), CodeAddressByte1(0x0000, 0, TAccess::Write));
    // An unknown device value encodes like the AT89S8252; A14 and A15 are dropped everywhere.
    EXPECT_EQ(CodeAddressByte1(0x2345, 5, TAccess::Read), 0x19);
    EXPECT_EQ(CodeAddressByte1(0xC000, 1, TAccess::Read), 0x01);
}

TEST(InstructionEncoding, LockModesFromTheDialogAndFromTheChip)
{
    EXPECT_EQ(LockModeOfByte(0xE7), 1);
    EXPECT_EQ(LockModeOfByte(0x67), 2);
    EXPECT_EQ(LockModeOfByte(0xA7), 3) << "lock bit 2 alone is mode 3";
    EXPECT_EQ(LockModeOfByte(0xC7), 4) << "lock bit 3 alone is mode 4";
    // xxx LB3 LB2 LB1 xx, a programmed bit read as 1; the x bits say nothing.
    for (int mode = 1; mode <= 4; ++mode) {
        const auto programmed = static_cast<std::uint8_t>(((1u << (mode - 1)) - 1) << 2);
        EXPECT_EQ(LockModeOf(programmed), mode);
        EXPECT_EQ(LockModeOf(programmed | 0xE3), mode);
    }
    EXPECT_EQ(LockModeOf(0x10), std::nullopt) << "LB3 without LB2";
    EXPECT_EQ(LockModeOf(0x08), std::nullopt) << "LB2 without LB1";
    EXPECT_EQ(LockModeText(0x14), "lock mode unknown (Read Lock Bits answered 14)");
}

TEST(InstructionEncoding, DataAddressExamples)
{
    EXPECT_EQ(DataAddressByte1(0x7FF, TAccess::Write), 0x3E);
    EXPECT_EQ(DataAddressByte1(0x7FF, TAccess::Read), 0x3D);
    EXPECT_EQ(DataAddressByte1(0x800, TAccess::Read), DataAddressByte1(0x000, TAccess::Read));
    EXPECT_EQ(DataAddressByte1(0x000, TAccess::Read), 0x05);
}

std::vector<double> CommandWaits;
std::vector<int> Sleeps;
void RecordCommandWait(double ms)
{
    CommandWaits.push_back(ms);
}
void RecordSleep(int ms)
{
    Sleeps.push_back(ms);
}

class DeviceCommandsTest : public testing::Test {
protected:
    void SetUp() override
    {
        CommandWaits.clear();
        Sleeps.clear();
        Settings.ResetDelay1 = Settings.ResetDelay2 = 0;
    }
    Bytes Sent() const { return DecodeMosiBytes(Lines.Events, Settings); }

    TSettings Settings;
    TRecordingLines Lines;
    TIspLink Link{Lines, Settings, &RecordCommandWait};
    TDeviceCommands Device{Link, &RecordSleep};
};

TEST_F(DeviceCommandsTest, InstructionStreams)
{
    Device.ProgrammingEnable();
    Device.ChipErase();
    Device.WriteLockBits(0xE7 & ~0x40); // only "Lock Bit 2"
    EXPECT_EQ(Sent(), (Bytes{0xAC, 0x53, 0x00, 0xAC, 0x04, 0x00, 0xAC, 0xA7, 0x00}));
    EXPECT_TRUE(Sleeps.empty());
}

TEST_F(DeviceCommandsTest, ReadAndWriteInstructionsPerDevice)
{
    Settings.WriteDelay = 3.0;
    Device.ReadCodeByte(0x1234);
    Device.WriteDataByte(0x7FF, 0x5A);
    Device.ReadDataByte(0x7FF);
    Settings.Device = 1;
    Device.ReadCodeByte(0x2345);
    Device.WriteCodeByte(0x2FFF, 0x11);
    EXPECT_EQ(Sent(), (Bytes{0x91, 0x34, 0x00, 0x3E, 0xFF, 0x5A, 0x3D, 0xFF, 0x00, 0x1D, 0x45, 0x00, 0x7E, 0xFF, 0x11}));
    // Only the writes wait, each for WriteDelay, after their third byte.
    int writeDelays = 0;
    for (double w : CommandWaits)
        writeDelays += w == 3.0;
    EXPECT_EQ(writeDelays, 2);
}

TEST_F(DeviceCommandsTest, FourByteStreamsPerChip)
{
    Settings.Device = 3; // AT89S52
    Settings.WriteDelay = 3.0;
    Device.ProgrammingEnable();
    Device.ChipErase();
    Device.ReadCodeByte(0x1234);
    Device.WriteCodeByte(0x1FFF, 0x5A);
    Device.WriteLockBits(0xE7);        // nothing to program
    Device.WriteLockBits(0xE7 & ~0x40); // lock bit 2: modes 2 and 3
    const TPendingByte page = Device.QueueReadCodePage(0x1280);
    for (int i = 0; i < Device.PageBytes(); ++i)
        Device.TakeByte(page);
    Settings.Device = 2; // AT89S51: A12 is not sent
    Device.ReadCodeByte(0x1234);
    Bytes expected{0xAC, 0x53, 0x00, 0x00, 0xAC, 0x80, 0x00, 0x00, 0x20, 0x12, 0x34, 0x00, 0x40, 0x1F,
                   0xFF, 0x5A, 0xAC, 0xE1, 0x00, 0x00, 0xAC, 0xE2, 0x00, 0x00, 0x30, 0x12};
    expected.resize(expected.size() + 256, 0x00); // one instruction for the page, MOSI held low while it comes
    expected.insert(expected.end(), {0x20, 0x02, 0x34, 0x00});
    EXPECT_EQ(Sent(), expected);
    std::vector<double> waited;
    std::copy_if(CommandWaits.begin(), CommandWaits.end(), std::back_inserter(waited), [](double w) { return w != 0.0; });
    EXPECT_EQ(waited, (std::vector<double>{0.5, 3.0, 3.0}))
        << "the write its datasheet's write cycle, each mode the longer Write Delay";
}

TEST_F(DeviceCommandsTest, ReadReturnsTheThirdByteReceived)
{
    int reads = 0;
    Lines.Input = [&](TLineCall) { return ((0x3C >> (7 - reads++ % 8)) & 1) != 0; };
    EXPECT_EQ(Device.ReadCodeByte(0x0100), 0x3C);
}

// A chip whose code address 0 answers from a script of read results.
class ScriptedChipTest : public DeviceCommandsTest {
protected:
    void Answer(Bytes reads)
    {
        Script = std::move(reads);
        Lines.Input = [this](TLineCall) {
            const std::uint8_t value = Script[BitIndex / 8];
            const bool bit = (value >> (7 - BitIndex % 8)) & 1;
            ++BitIndex;
            return bit;
        };
    }
    Bytes Script;
    std::size_t BitIndex = 0;
};

// Reads in the order the test makes them: at once, with the long settle, after 00, after FF, after
// the byte went back.
TEST_F(ScriptedChipTest, DetectDeviceOnAnAnsweringChipRestoresAddressZero)
{
    Answer({0x42, 0x42, 0x00, 0xFF, 0x42});
    EXPECT_TRUE(Device.DetectDevice());
    EXPECT_EQ(Sent(), (Bytes{0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00,
                             0xFF, 0x01, 0x00, 0x00, 0x02, 0x00, 0x42, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Sleeps, std::vector<int>(12, 10)) << "8 bits with the long settle, and the test's own sleeps";
}

// Reads in order: byte 0 at once and with the long settle; when that showed one level only, bytes 1
// to 7 and the last (here all alike); then after each write.
TEST_F(ScriptedChipTest, DetectDeviceEndsEachWayWithCodeByteZeroAsFoundOrSaysSo)
{
    const Bytes ones(8, 0xFF), zeros(8, 0x00);
    const auto with = [](Bytes first, const Bytes &then, Bytes last) {
        first.insert(first.end(), then.begin(), then.end());
        first.insert(first.end(), last.begin(), last.end());
        return first;
    };
    struct TCase {
        const char *What;
        Bytes Reads;
        TPresence Result;
        Bytes Written; // the values of the instructions 02 00 .. sent, in order
    };
    const TCase cases[] = {
        {"MISO stuck high: the 00 probe does not come back, nothing is written back", with({0xFF, 0xFF}, ones, {0xFF}),
         TPresence::NoDevice, {0x00}},
        {"MISO stuck low: nothing is written", with({0x00, 0x00}, zeros, {}), TPresence::NoDevice, {}},
        {"an erased chip: the 00 probe shows MISO moves", with({0xFF, 0xFF}, ones, {0x00, 0xFF, 0xFF}),
         TPresence::Found, {0x00, 0xFF, 0xFF}},
        {"00 at byte 0, a jump after it", {0x00, 0x00, 0x02, 0x00, 0xFF, 0x00}, TPresence::Found, {0x00, 0xFF, 0x00}},
        {"takes 00 but not FF", {0x42, 0x42, 0x00, 0x00, 0x42}, TPresence::NoDevice, {0x00, 0xFF, 0x42}},
        {"inputs later than the settle", {0x21, 0x42}, TPresence::InputsLate, {}},
        {"byte 0 does not come back", {0x02, 0x02, 0x00, 0xFF, 0x00}, TPresence::CodeByteChanged, {0x00, 0xFF, 0x02}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.What);
        Lines.Events.clear();
        BitIndex = 0;
        Answer(c.Reads);
        EXPECT_EQ(Device.DetectDevice(), c.Result == TPresence::Found);
        EXPECT_EQ(Device.Detection().Result, c.Result);
        EXPECT_EQ(BitIndex, 8 * c.Reads.size()) << "every scripted read, and no more";
        const Bytes sent = Sent();
        Bytes written;
        for (std::size_t i = 0; i + 2 < sent.size(); i += 3)
            if (sent[i] == 0x02)
                written.push_back(sent[i + 2]);
        EXPECT_EQ(written, c.Written);
    }
    EXPECT_EQ(PresenceText(Device.Detection()),
              "Found no device on this serial port, and code byte $0000 may have changed: it held $02 (it reads $00 "
              "now)");
    BitIndex = 0;
    Answer(with({0xFF, 0xFF}, ones, {0xFF}));
    Device.DetectDevice();
    EXPECT_EQ(PresenceText(Device.Detection()),
              "Found no device on this serial port !\nMISO read only 1 bits (code bytes $0000 to $0007 and the last), "
              "also after $00 was written to code byte $0000 to see a 0: if a chip is there, that byte may now hold $00 "
              "instead of the $FF it read");
}

// A stop asked for while the presence test reads (its long settle sliced and cut short) ends it
// before anything is written: what it read then is no byte to write back.
TEST_F(ScriptedChipTest, AStopDuringThePresenceTestWritesNothing)
{
    Settings.PortSettle = 1000; // each bit of the slow read waits four seconds
    std::atomic<bool> stop{true};
    Link.SetStopFlag(&stop);
    Answer({0x42, 0x42, 0x00, 0xFF, 0x42});
    EXPECT_FALSE(Device.DetectDevice());
    EXPECT_TRUE(Sleeps.empty()) << Sleeps.size();
    const Bytes sent = Sent();
    for (std::size_t i = 0; i < sent.size(); i += 3)
        EXPECT_NE(sent[i], 0x02) << "a write at byte " << i;
    Link.SetStopFlag(nullptr);
}

// The lock bits alone give the mode; the signature, which the older datasheets hide in modes 3 and 4
// and the 2008 ones no longer do, only confirms it.
TEST_F(ScriptedChipTest, FourByteChipsAreKnownByEchoSignatureAndLockBitsAndNothingIsWritten)
{
    struct TCase {
        const char *What;
        int Device;
        Bytes Reads; // Programming Enable's byte 4, the signature, the lock bits
        TPresence Result;
        const char *Text;   // what stops the operation
        const char *Answer; // what detect says
    };
    const TCase cases[] = {
        {"the chip named", 3, {0x69, 0x1E, 0x52, 0x06, 0x00}, TPresence::Found, nullptr,
         "Signature 1E 52 06 (AT89S52), lock mode 1 (no lock bit programmed)"},
        {"the other chip", 2, {0x69, 0x1E, 0x52, 0x06, 0x00}, TPresence::OtherChip,
         "Found an AT89S52 (1E 52 06), but the settings name the AT89S51", nullptr},
        {"no echo", 2, {0x00, 0x1E, 0x51, 0x06, 0x00}, TPresence::NoDevice,
         "Found no device on this serial port ! No AT89S51 or AT89S52 answered; an AT89S8252 or AT89S53 may be "
         "there, whose presence test writes code byte $0000: nothing was written, select that device to look for one",
         nullptr},
        {"lock bits that contradict themselves", 3, {0x69, 0xFF, 0xFF, 0xFF, 0x14}, TPresence::UnknownSignature,
         nullptr, nullptr},
        {"a hidden signature without a lock mode that hides it", 3, {0x69, 0xFF, 0xFF, 0xFF, 0x00},
         TPresence::UnknownSignature, nullptr, nullptr},
        {"another maker's chip", 3, {0x69, 0x1E, 0x93, 0x07, 0x00}, TPresence::UnknownSignature,
         "Found a chip whose signature 1E 93 07 names no chip this program knows; the settings name the AT89S52",
         nullptr},
        {"mode 2", 3, {0x69, 0x1E, 0x52, 0x06, 0x04}, TPresence::Found, nullptr,
         "Signature 1E 52 06 (AT89S52), lock mode 2 (Lock Bit 1 programmed: no further programming)"},
        {"mode 4, signature hidden (before 2008)", 3, {0x69, 0xFF, 0xFF, 0xFF, 0x1C}, TPresence::Locked,
         "Found a chip locked in mode 4, whose signature cannot be read: only a Chip Erase unlocks it, and it "
         "clears the chip",
         "Signature FF FF FF (unreadable in this lock mode), lock mode 4 (Lock Bits 1 to 3 programmed: no "
         "programming, no verify, no external execution)"},
        {"mode 4, signature readable (2008)", 3, {0x69, 0x1E, 0x52, 0x06, 0x1C}, TPresence::Locked,
         "Found an AT89S52 locked in mode 4, whose memory cannot be read: only a Chip Erase unlocks it, and it "
         "clears the chip",
         "Signature 1E 52 06 (AT89S52), lock mode 4 (Lock Bits 1 to 3 programmed: no programming, no verify, no "
         "external execution)"},
        {"mode 3, signature readable (2008)", 3, {0x69, 0x1E, 0x52, 0x06, 0x0C}, TPresence::Locked, nullptr,
         "Signature 1E 52 06 (AT89S52), lock mode 3 (Lock Bits 1 and 2 programmed: no programming, no verify)"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.What);
        Lines.Events.clear();
        BitIndex = 0;
        Settings.Device = c.Device;
        Answer(c.Reads);
        Device.ProgrammingEnable();
        EXPECT_EQ(Device.DetectDevice(), c.Result == TPresence::Found);
        EXPECT_EQ(Device.Detection().Result, c.Result);
        const Bytes sent = Sent();
        for (std::size_t i = 0; i < sent.size(); i += 4)
            EXPECT_NE(sent[i], FourByte::WriteCode) << "at byte " << i;
        if (c.Text) {
            EXPECT_EQ(PresenceText(Device.Detection()), c.Text);
        }
        if (c.Answer) {
            EXPECT_EQ(ChipAnswerText(Device.Detection()), c.Answer);
        }
    }
    EXPECT_TRUE(Sleeps.empty());
}

TEST_F(ScriptedChipTest, AFourByteChipAnswersWhereAnOlderOneIsExpected)
{
    Answer({0x69, 0x1E, 0x51, 0x06, 0x00});
    EXPECT_TRUE(Device.ProbeFourByteChip());
    EXPECT_EQ(Sent(), (Bytes{0xAC, 0x53, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x28, 0x01, 0x00, 0x00, 0x28, 0x02, 0x00,
                             0x00, 0x24, 0x00, 0x00, 0x00}));
    EXPECT_EQ(PresenceText(Device.Detection()), "Found an AT89S51 (1E 51 06), but the settings name the AT89S8252");
    BitIndex = 0;
    Answer({0x42});
    EXPECT_FALSE(Device.ProbeFourByteChip());
}

TEST(DetectDevice, ClosedPortFindsNothing)
{
    T_QCCom32 port; // never opened: every input reads False
    TSettings settings;
    settings.ResetDelay1 = settings.ResetDelay2 = settings.WriteDelay = 0;
    TIspLink link(port, settings);
    TDeviceCommands device(link, &RecordSleep);
    link.StartProgramming();
    device.ProgrammingEnable();
    EXPECT_FALSE(device.DetectDevice());
    settings.MISOInvert = true; // reads FF instead: fails at the other check
    EXPECT_FALSE(device.DetectDevice());
}

} // namespace
