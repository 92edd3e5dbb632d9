// The virtual chip behind a cable whose driver reports input changes late, found as pl2303 in a fake
// sysfs tree: without the settle the link reads the bit before, with it every operation is right,
// and the settle is measured without writing the chip. Cables that cannot serve a wiring at all
// (an input the driver never reports, a break only imitated) are named before anything starts.
#include "fake_sysfs.h"
#include "app/port_kinds.h"
#include "operation_outcome.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/settle_probe.h"
#include "prog/port_session.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using TResult = TSettleMeasurement::TResult;

class LateCableTest : public testing::Test {
protected:
    LateCableTest()
    {
        Settings.PortName = "sim";
        Tree.AddUsb({"ttyUSB0", "pl2303", "067b", "2303", "", 0, 1, "1ms"});
        Cable = LookUpTtyDriver(Tree.ById("ttyUSB0"), Tree.Sys());
        Session.SetDriverLookup([this](const std::string &) { return Cable; });
    }

    // The same cable as another driver would serve it.
    void Reopen(const std::string &driver)
    {
        Cable.Driver = driver;
        std::string error;
        EXPECT_EQ(Session.Open({}, error), TOpenResult::Ok) << error;
    }

    // The chip behind inputs that show MISO this late.
    TVirtualChip &Open(microseconds lag)
    {
        std::string error;
        EXPECT_EQ(Session.Open({}, error), TOpenResult::Ok) << error;
        Session.Virtual()->Adapter().SetInputLag(lag);
        PrepareChip(Session.Virtual()->Chip());
        return Session.Virtual()->Chip();
    }

    TFakeSysfs Tree;
    TTtyDriver Cable;
    TSettings Settings = QuickSettings();
    T_QCCom32 Com;
    const TPortKinds Kinds = StandardPortKinds();
    TPortSession Session{Com, Settings, Kinds};
};

TEST_F(LateCableTest, ThePresenceTestFailsWithoutTheSettleAndPassesWithTheDriversOwn)
{
    Open(microseconds(1000));
    EXPECT_EQ(Session.SettleMs(), 5.0);
    TOutcome settled, unsettled;
    RunOperation(opVerifyCode, Session.Lines(), Settings, settled);
    EXPECT_TRUE(settled.Status.DeviceFound);
    Settings.PortSettle = 0.0;
    RunOperation(opVerifyCode, Session.Lines(), Settings, unsettled);
    EXPECT_FALSE(unsettled.Status.DeviceFound);
}

// Read late, code byte 0 would be "restored" to the bit pattern shifted by one: the reset vector's jump
// (02) would become 01. Also a cable 2 ms later than the settle in use.
TEST_F(LateCableTest, InputsLaterThanTheSettleStopTheTestBeforeItWrites)
{
    for (const auto &[settle, lag] : {std::pair{0.0, microseconds(1000)}, std::pair{1.0, microseconds(3000)}}) {
        SCOPED_TRACE(settle);
        Settings.PortSettle = settle;
        TVirtualChip &chip = Open(lag);
        TSimImage image = chip.Contents();
        image.Code[0] = 0x02;
        chip.SetContents(image);
        TOutcome outcome;
        outcome.Memory.HighestAddress = 10;
        RunOperation(opWriteCode, Session.Lines(), Settings, outcome);
        EXPECT_EQ(outcome.Status.Detection.Result, TPresence::InputsLate);
        EXPECT_EQ(chip.Contents().Code, image.Code) << "nothing written, nothing erased";
        EXPECT_NE(FinishMessage(outcome.Status).Text.find("$02 after a long wait; nothing was written"),
                  std::string::npos);
    }
}

// Against the same operation on a chip read at once; a short lag and a settle just above it keep the
// whole memory reads quick.
TEST_F(LateCableTest, EveryOperationEndsAsOnAPortReadAtOnce)
{
    Settings.PortSettle = 0.025;
    TVirtualChip &chip = Open(microseconds(10));
    for (const TOperationCode code : {opWriteCode, opWriteCodeFast, opWriteData, opVerifyCode, opVerifyData, opReadCode,
                                      opReadData, opChipErase, opWriteLockBits, opChipReset}) {
        SCOPED_TRACE(code);
        TVirtualTarget direct(Settings);
        PrepareChip(direct.Chip());
        PrepareChip(chip);
        TOutcome late, atOnce;
        for (TOutcome *outcome : {&late, &atOnce}) {
            for (std::size_t i = 0; i < BufferSize; ++i)
                outcome->Memory.Buffer[i] = static_cast<std::uint8_t>(i * 3);
            outcome->Memory.HighestAddress = 100;
            outcome->Status.LockBitsByte = 0x67;
        }
        RunOperation(code, Session.Lines(), Settings, late);
        RunOperation(code, direct.Lines(), Settings, atOnce);
        ExpectSameEnd(chip, late, direct.Chip(), atOnce);
    }
}

TEST_F(LateCableTest, TheMeasurementFindsASettleOrSaysWhyNot)
{
    TVirtualChip &chip = Open(microseconds(300));
    TSettleMeasurement m = MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3, Session.ReportIntervalMs());
    ASSERT_EQ(m.Result, TResult::Measured);
    EXPECT_EQ(m.Reference, std::vector<std::uint8_t>(chip.Contents().Code.begin(), chip.Contents().Code.begin() + 8));
    // 0.5 ms is the first settle tried above the lag; a reader the machine held up may pass earlier.
    EXPECT_GT(m.ShortestMs, 0.0);
    EXPECT_LE(m.ShortestMs, 0.5);
    EXPECT_LT(m.FailedMs.value_or(1), m.ShortestMs);
    EXPECT_EQ(m.RecommendedMs, m.ShortestMs + 1) << "a polling interval of 1 ms above the shortest";
    EXPECT_EQ(Session.Settle()->SettleMs(), 5.0) << "the setting is in use again";

    chip.SetContents(TSimImage::Erased(TChipKind::AT89S8252));
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::NoChanges);
    chip.SetFault(TChipFault::NoChip);
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::NoChanges);
    // Later than the reference's settle: the reads with it and with twice it disagree.
    Open(microseconds(4000));
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::Unstable);
}

// Inputs that read wrong while the settle tried is one the test names: a cable whose reports came
// early by luck at one settle and late at the next longer one.
class TWrongUnderSomeSettles final : public TImmediateLines {
public:
    explicit TWrongUnderSomeSettles(TLineInterface &inner) : Inner(inner) {}
    void SetBreak(bool level) override { Inner.SetBreak(level); }
    void SetRts(bool level) override { Inner.SetRts(level); }
    void SetDtr(bool level) override { Inner.SetDtr(level); }
    bool GetCTS() override { return Inner.GetCTS() != Wrong(); }
    bool GetDSR() override { return Inner.GetDSR(); }
    bool GetRLSD() override { return Inner.GetRLSD(); }
    bool GetRI() override { return Inner.GetRI(); }

    std::function<bool()> Wrong;

private:
    TLineInterface &Inner;
};

TEST(SettleMeasurementTest, ASettleCountsOnlyWhenTheNextLongerOnePassesToo)
{
    const TSettings settings = QuickSettings();
    TVirtualTarget target(settings);
    PrepareChip(target.Chip());
    TWrongUnderSomeSettles flaky(target.Lines());
    TSettleLines settle(flaky, [] { return 0.0; });
    flaky.Wrong = [&settle] { return settle.SettleMs() < 0.2 || settle.SettleMs() == 0.5; };
    const TSettleMeasurement m = MeasureSettle(settle, settle, settings, 2, 1);
    ASSERT_EQ(m.Result, TResult::Measured);
    EXPECT_EQ(m.ShortestMs, 1.0);
    EXPECT_EQ(m.FailedMs, 0.5);
    EXPECT_EQ(m.RecommendedMs, 2.0);
}

// The chip moves MISO after SCL falls, so a read waits the settle from that request, not from the
// rising edge after it; where SCL shares a line with another pin every change counts.
TEST_F(LateCableTest, ReadsWaitTheSettleFromTheRequestThatMovesMiso)
{
    Open(microseconds(0));
    Settings.PortSettle = 20.0;
    for (const int mosiLine : {1, 0}) {
        Settings.Mosi_Line = mosiLine;
        TIspLink link(Session.Lines(), Settings);
        link.SclLow();
        std::this_thread::sleep_for(milliseconds(30));
        Session.Settle()->ResetStats();
        link.SclHigh();
        link.ReadMiso();
        EXPECT_EQ(Session.Settle()->Stats().SettleSeconds > 0, mosiLine == 0) << mosiLine;
    }
}

TEST_F(LateCableTest, ACableThatCannotServeTheWiringIsNamedWithTheWayOut)
{
    Open(microseconds(0));
    TVirtualAdapter &adapter = Session.Virtual()->Adapter();
    Reopen("cdc_acm");
    EXPECT_EQ(Session.WiringProblem(), "cdc_acm cannot report CTS: wire MISO to DSR or DCD");
    Settings.Miso_Line = 1;
    EXPECT_EQ(Session.WiringProblem(), "");

    // A CH340 without a break register, whichever request waits for the imitating character.
    for (const TBreakImitation mode : {TBreakImitation::OffWaits, TBreakImitation::OnWaits}) {
        adapter.SetBreakImitation(mode, milliseconds(120));
        Reopen("ch341-uart");
        const std::string problem = Session.WiringProblem();
        EXPECT_GT(Session.BreakMs().value_or(0), 100.0);
        EXPECT_EQ(problem.rfind("TXD (SCL) cannot be held in break on this cable: ch341-uart imitates a break with "
                                "one slow character",
                                0),
                  0u)
            << problem;
    }
    Settings.Scl_Line = 3; // TXD serves nothing: not even timed
    Reopen("ch341-uart");
    EXPECT_EQ(Session.WiringProblem(), "");
    EXPECT_FALSE(Session.BreakMs());
    Settings.Scl_Line = 0;
    adapter.SetBreakImitation(TBreakImitation::None);
    Reopen("ch341-uart");
    EXPECT_EQ(Session.WiringProblem(), "");
    EXPECT_LT(Session.BreakMs().value_or(1000), 100.0);
}

// A MISO that never moved on a driver that reports inputs late may be one the driver never reports;
// on a driver that asks the chip it is the chip's silence.
TEST_F(LateCableTest, AnInputThatNeverChangedOnALateDriverIsNamed)
{
    TVirtualChip &chip = Open(microseconds(0));
    chip.SetFault(TChipFault::NoChip);
    TOutcome empty, found, direct;
    RunOperation(opVerifyCode, Session.Lines(), Settings, empty);
    EXPECT_FALSE(empty.Status.DeviceFound);
    EXPECT_EQ(Session.PortNotes(),
              std::vector<std::string>{"CTS (MISO) never changed: the driver may never report this input"});

    Reopen("cp210x");
    RunOperation(opVerifyCode, Session.Lines(), Settings, direct);
    EXPECT_TRUE(Session.PortNotes().empty());

    Reopen("pl2303");
    chip.SetFault(TChipFault::None);
    RunOperation(opVerifyCode, Session.Lines(), Settings, found);
    EXPECT_TRUE(found.Status.DeviceFound);
    EXPECT_TRUE(Session.PortNotes().empty());
}

// The time a run is announced with counts the requests of the chip's own instructions: a four-byte
// chip sends a third more per byte written, and its page reads send nothing per byte read.
// Each byte written waits the Write Delay on the three-byte chips, its write cycle on the AT89S52.
TEST(TransferEstimate, CountsTheRequestsOfTheChipsInstructions)
{
    const struct {
        int Device;
        int Requests;
        double WaitMs, ReadMs;
    } chips[] = {{0, 72, 3, 73}, {1, 72, 3, 73}, {3, 96, 0.5, 24}, {7, 72, 3, 73}};
    for (const auto &chip : chips) {
        TSettings settings;
        settings.Device = chip.Device;
        const TTransferTime time = EstimateTransfer(1000, 1.0, 0.0, settings);
        EXPECT_DOUBLE_EQ(time.WriteSeconds, chip.Requests + chip.WaitMs) << chip.Device;
        EXPECT_DOUBLE_EQ(time.ReadSeconds, chip.ReadMs) << chip.Device;
        EXPECT_EQ(WriteRequestsPerByte(chip.Device), chip.Requests) << chip.Device;
    }
}

} // namespace
