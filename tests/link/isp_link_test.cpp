// The exact line sequences of the bit-bang link: which line, which level, in which order.
#include "link/isp_link.h"
#include "recording_lines.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::vector<double> Waits;
void RecordWait(double ms)
{
    Waits.push_back(ms);
}

class IspLinkTest : public testing::Test {
protected:
    void SetUp() override { Waits.clear(); }
    TSettings Settings;
    TRecordingLines Lines;
    TIspLink Link{Lines, Settings, &RecordWait};
};

using E = TLineEvent;
using C = TLineCall;

TEST_F(IspLinkTest, SendByteShiftsMsbFirstWithMosiBeforeEachRisingEdge)
{
    Link.SendByte(0xAC);
    // Default wiring: SCL on TXD-break, MOSI on RTS; one request per step, also for repeated levels.
    const bool bits[8] = {1, 0, 1, 0, 1, 1, 0, 0};
    std::vector<E> expected;
    for (bool bit : bits) {
        expected.push_back({C::Rts, bit});
        expected.push_back({C::Break, true});
        expected.push_back({C::Break, false});
    }
    EXPECT_EQ(Lines.Events, expected);
    EXPECT_EQ(DecodeMosiBytes(Lines.Events, Settings), std::vector<std::uint8_t>{0xAC});
    EXPECT_EQ(Waits, std::vector<double>(16, 0.0));
}

TEST_F(IspLinkTest, ClockDelayIsSplitIntoTwoHalvesPerBit)
{
    Settings.ClockDelay = 0.5;
    Link.SendByte(0x00);
    Link.ReceiveByte();
    EXPECT_EQ(Waits, std::vector<double>(32, 0.25));
}

// Knows the SCL level at the moment of every input read.
struct TSclTrackingLines : TRecordingLines {
    bool SclHigh = false;
    void SetBreak(bool level) override
    {
        SclHigh = level;
        TRecordingLines::SetBreak(level);
    }
};

TEST_F(IspLinkTest, ReceiveByteHoldsMosiLowAndSamplesWhileSclIsHigh)
{
    TSclTrackingLines lines;
    const std::uint8_t answer = 0xA5;
    int reads = 0;
    lines.Input = [&](C) {
        EXPECT_TRUE(lines.SclHigh) << "MISO must be sampled while SCL is high";
        return ((answer >> (7 - reads++)) & 1) != 0;
    };
    TIspLink link(lines, Settings, &RecordWait);
    EXPECT_EQ(link.ReceiveByte(), answer);
    EXPECT_EQ(reads, 8);
    EXPECT_EQ(lines.Events.front(), (E{C::Rts, false}));
    EXPECT_EQ(lines.Events.back(), (E{C::Break, false}));
    EXPECT_EQ(lines.Events.size(), 1u + 8 * 3);
}

TEST_F(IspLinkTest, ReceiveByteWithMisoHighReadsFF)
{
    Lines.Input = [](C) { return true; };
    EXPECT_EQ(Link.ReceiveByte(), 0xFF);
    EXPECT_EQ(Lines.Events.front(), (E{C::Rts, false}));
    for (const E &e : Lines.Events) {
        if (e.Call == C::Rts) {
            EXPECT_FALSE(e.Level);
        }
    }
}

TEST_F(IspLinkTest, InversionOfEachFunction)
{
    Settings.SCLInvert = true;
    Link.SclHigh();
    Link.SclLow();
    Settings.MOSIInvert = true;
    Link.SetMosi(true);
    Settings.RESETInvert = true;
    Link.ResetActive();
    Link.ResetInactive();
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Break, false}, {C::Break, true}, {C::Rts, false},
                                            {C::Dtr, false}, {C::Dtr, true}}));

    Settings.MISOInvert = true;
    EXPECT_TRUE(Link.ReadMiso()) << "an idle (False) line reads 1 when inverted";
}

TEST_F(IspLinkTest, MisoLineSelectsTheInput)
{
    Lines.Input = [](C call) { return call == C::Rlsd; };
    Settings.Miso_Line = 2;
    EXPECT_TRUE(Link.ReadMiso());
    Settings.Miso_Line = 3;
    EXPECT_FALSE(Link.ReadMiso());
    Lines.Input = [](C call) { return call == C::Ri; };
    EXPECT_TRUE(Link.ReadMiso());
    Settings.Miso_Line = 1;
    EXPECT_FALSE(Link.ReadMiso());
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Rlsd, true}, {C::Ri, false}, {C::Ri, true}, {C::Dsr, false}}));
}

TEST_F(IspLinkTest, OutOfRangeLineIndicesDriveAndReadNothing)
{
    Settings.Miso_Line = 4;
    Settings.MISOInvert = true;
    Lines.Input = [](C) { return true; };
    EXPECT_FALSE(Link.ReadMiso()) << "no line reads constant False, without inversion";
    Link.SetOutputLine(3, true);
    Link.SetOutputLine(-1, true);
    EXPECT_TRUE(Lines.Events.empty());
}

TEST_F(IspLinkTest, SameLineForTwoFunctionsIsDrivenByBoth)
{
    Settings.Mosi_Line = 0; // shares TXD with SCL
    Link.SendByte(0x80);
    EXPECT_EQ(Lines.Events[0], (E{C::Break, true}));
    EXPECT_EQ(Lines.Events.size(), 24u);
}

TEST_F(IspLinkTest, StartAndEndProgrammingSequences)
{
    Link.StartProgramming();
    Link.EndProgramming();
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Break, false}, {C::Rts, false}, {C::Dtr, true}, {C::Dtr, false}}));
    EXPECT_EQ(Waits, (std::vector<double>{200.0, 200.0, 200.0}));
}

TEST_F(IspLinkTest, IdleLinesPutsTheAdapterAtRest)
{
    Settings.ResetDelay1 = 5;
    Settings.ResetDelay2 = 7;
    Link.IdleLines();
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Break, true}, {C::Rts, true}, {C::Dtr, false}}));
    EXPECT_EQ(Waits, (std::vector<double>{5.0, 7.0}));
}

TEST_F(IspLinkTest, PulseReset)
{
    Settings.ResetDelay1 = 1;
    Settings.ResetDelay2 = 2;
    Link.PulseReset();
    // SCL and MOSI at rest before RESET lets go, so that whatever the target says first is heard.
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Dtr, true}, {C::Break, true}, {C::Rts, true}, {C::Dtr, false}}));
    EXPECT_EQ(Waits, (std::vector<double>{1.0, 2.0}));
}

TEST_F(IspLinkTest, ResetLineThreeChangesNothingButEndProgrammingStillWaits)
{
    Settings.Reset_Line = 3;
    Settings.ResetDelay1 = 1;
    Settings.ResetDelay2 = 2;
    Link.PulseReset();
    EXPECT_TRUE(Lines.Events.empty());
    EXPECT_TRUE(Waits.empty()) << "PulseReset without a reset line must not wait";
    Link.EndProgramming();
    EXPECT_TRUE(Lines.Events.empty());
    EXPECT_EQ(Waits, (std::vector<double>{1.0, 2.0}));
}

TEST_F(IspLinkTest, SettingsAreReadAtEveryUse)
{
    Link.SclHigh();
    Settings.Scl_Line = 2;
    Link.SclHigh();
    EXPECT_EQ(Lines.Events, (std::vector<E>{{C::Break, true}, {C::Dtr, true}}));
}

} // namespace

namespace {

std::atomic<bool> StopFlag{false};
std::vector<double> StoppingWaits;
void WaitThenStopAtTheThird(double ms)
{
    StoppingWaits.push_back(ms);
    if (StoppingWaits.size() == 3)
        StopFlag = true;
}

// A wait the settings file made long is waited in slices; a stop request ends it after the slice it
// came in, and a short wait stays one wait.
TEST(IspLinkStop, ALongWaitEndsAfterTheSliceAStopCameIn)
{
    TSettings settings;
    TRecordingLines lines;
    TIspLink link(lines, settings, &WaitThenStopAtTheThird);
    link.Wait(999);
    EXPECT_EQ(StoppingWaits, std::vector<double>{999}) << "no stop flag: one wait";
    StoppingWaits.clear();
    link.SetStopFlag(&StopFlag);
    link.Wait(50);
    link.Wait(999);
    EXPECT_EQ(StoppingWaits, (std::vector<double>{50, 100, 100}));
    EXPECT_TRUE(link.StopRequested());
    StopFlag = false;
}

} // namespace
