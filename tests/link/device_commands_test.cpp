// Instruction encodings of both chips and the presence test's exact instruction stream.
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "recording_lines.h"

#include <gtest/gtest.h>

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

TEST(InstructionEncoding, DataAddressExamples)
{
    EXPECT_EQ(DataAddressByte1(0x7FF, TAccess::Write), 0x3E);
    EXPECT_EQ(DataAddressByte1(0x7FF, TAccess::Read), 0x3D);
    EXPECT_EQ(DataAddressByte1(0x800, TAccess::Read), DataAddressByte1(0x000, TAccess::Read));
    EXPECT_EQ(DataAddressByte1(0x000, TAccess::Read), 0x05);
}

std::vector<double> Waits;
std::vector<int> Sleeps;
void RecordWait(double ms)
{
    Waits.push_back(ms);
}
void RecordSleep(int ms)
{
    Sleeps.push_back(ms);
}

class DeviceCommandsTest : public testing::Test {
protected:
    void SetUp() override
    {
        Waits.clear();
        Sleeps.clear();
        Settings.ResetDelay1 = Settings.ResetDelay2 = 0;
    }
    Bytes Sent() const { return DecodeMosiBytes(Lines.Events, Settings); }

    TSettings Settings;
    TRecordingLines Lines;
    TIspLink Link{Lines, Settings, &RecordWait};
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
    for (double w : Waits)
        writeDelays += w == 3.0;
    EXPECT_EQ(writeDelays, 2);
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

TEST_F(ScriptedChipTest, DetectDeviceOnAnAnsweringChipRestoresAddressZero)
{
    Answer({0x42, 0x00, 0xFF});
    EXPECT_TRUE(Device.DetectDevice());
    EXPECT_EQ(Sent(), (Bytes{0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0xFF, 0x01, 0x00,
                             0x00, 0x02, 0x00, 0x42}));
    EXPECT_EQ(Sleeps, (std::vector<int>{10, 10, 10}));
}

TEST_F(ScriptedChipTest, DetectDeviceFailsAtTheFirstCheckWithMisoStuckHigh)
{
    Lines.Input = [](TLineCall) { return true; };
    EXPECT_FALSE(Device.DetectDevice());
    // read, write 00, read (FF != 00), then the saved byte (FF) is written back.
    EXPECT_EQ(Sent(), (Bytes{0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0xFF}));
    EXPECT_EQ(Sleeps, (std::vector<int>{10}));
}

TEST_F(ScriptedChipTest, DetectDeviceFailsAtTheSecondCheckWithMisoStuckLow)
{
    EXPECT_FALSE(Device.DetectDevice());
    const Bytes sent = Sent();
    ASSERT_EQ(sent.size(), 18u);
    EXPECT_EQ(Bytes(sent.end() - 3, sent.end()), (Bytes{0x02, 0x00, 0x00})) << "saved byte 00 written back";
    EXPECT_EQ(Sleeps, (std::vector<int>{10, 10, 10}));
}

TEST_F(ScriptedChipTest, PartlyAnsweringChipGetsItsSavedByteBack)
{
    Answer({0x42, 0x00, 0x00}); // takes 00 but not FF
    EXPECT_FALSE(Device.DetectDevice());
    const Bytes sent = Sent();
    EXPECT_EQ(Bytes(sent.end() - 3, sent.end()), (Bytes{0x02, 0x00, 0x42}));
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
