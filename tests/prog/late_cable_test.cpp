// The virtual chip behind a cable whose driver reports input changes late, found as pl2303 in a fake
// sysfs tree: without the settle the link reads the bit before, with it every operation is right,
// and the settle is measured without writing the chip.
#include "fake_sysfs.h"
#include "operation_outcome.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/settle_probe.h"
#include "prog/port_session.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::microseconds;
using TResult = TSettleMeasurement::TResult;

class LateCableTest : public testing::Test {
protected:
    LateCableTest()
    {
        Settings.PortName = "sim";
        Tree.AddUsb({"ttyUSB0", "pl2303", "067b", "2303", "", 0, 1, "1ms"});
        Session.SetDriverLookup([this](const std::string &) { return LookUpTtyDriver(Tree.ById("ttyUSB0"), Tree.Sys()); });
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
    TSettings Settings = QuickSettings();
    T_QCCom32 Com;
    TPortSession Session{Com, Settings};
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
        EXPECT_FALSE(outcome.Status.DeviceFound);
        EXPECT_EQ(outcome.Status.Detection.Result, TPresence::InputsLate);
        EXPECT_EQ(chip.Contents().Code[0], 0x02);
        EXPECT_EQ(chip.Counters().DecodedOf(TInstruction::WriteCode), 0u);
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
    TSettleMeasurement m = MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3);
    ASSERT_EQ(m.Result, TResult::Measured);
    EXPECT_EQ(m.Reference, std::vector<std::uint8_t>(chip.Contents().Code.begin(), chip.Contents().Code.begin() + 8));
    // 0.5 ms is the first settle tried above the lag; a reader the machine held up may pass earlier.
    EXPECT_GT(m.ShortestMs, 0.0);
    EXPECT_LE(m.ShortestMs, 0.5);
    EXPECT_LT(m.FailedMs.value_or(1), m.ShortestMs);
    EXPECT_EQ(m.RecommendedMs, 2 * m.ShortestMs);
    EXPECT_EQ(Session.Settle()->SettleMs(), 5.0) << "the setting is in use again";

    chip.SetContents(TSimImage::Erased(TChipKind::AT89S8252));
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::NoChanges);
    chip.SetFault(TChipFault::NoChip);
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::NoChanges);
    // Later than the reference's settle: the reads with it and with twice it disagree.
    Open(microseconds(4000));
    EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, TResult::Unstable);
}

} // namespace
