// The virtual chip behind a cable whose driver reports input changes late, found as pl2303 in a fake
// sysfs tree: without the settle the link reads the bit before, with it every operation is right,
// and the settle is measured without writing the chip.
#include "buffer/memory_buffer.h"
#include "fake_sysfs.h"
#include "link/qc_com32.h"
#include "link/settle_lines.h"
#include "link/settle_probe.h"
#include "prog/port_session.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using std::chrono::microseconds;
using TResult = TSettleMeasurement::TResult;

struct TOutcome : TProgUi {
    void ClearDifferences() override {}
    void AddDifferenceLine(int, std::uint8_t, std::uint8_t) override {}
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}
    TMemoryBuffer Memory;
    TProgStatus Status;
};

void RunOn(TOperationCode code, TLineInterface &lines, const TSettings &settings, TOutcome &outcome)
{
    auto sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20))); };
    TProgContext context{outcome.Status, outcome.Memory, settings, lines, outcome, nullptr, sleep};
    TProgRunner runner(context);
    ASSERT_TRUE(runner.StartOperation(code));
    runner.WaitForEnd();
}

// Code with bits that change, so that a read one bit late differs.
void Prepare(TVirtualChip &chip)
{
    chip.SetWriteCycle(microseconds(20));
    chip.SetEraseTime(microseconds(200));
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 5 + (i >> 7));
    chip.SetContents(image);
    chip.SetFault(TChipFault::None);
}

class LateCableTest : public testing::Test {
protected:
    LateCableTest()
    {
        Settings.PortName = "sim";
        Settings.ResetDelay1 = Settings.ResetDelay2 = 0.1;
        Settings.WriteDelay = 0.05;
        Tree.AddUsb({"ttyUSB0", "pl2303", "067b", "2303", "", 0, 1, "1ms"});
        Session.SetDriverLookup([this](const std::string &) { return LookUpTtyDriver(Tree.ById("ttyUSB0"), Tree.Sys()); });
    }

    // The chip behind inputs that show MISO this late.
    TVirtualChip &Open(microseconds lag)
    {
        std::string error;
        EXPECT_EQ(Session.Open({}, error), TOpenResult::Ok) << error;
        Session.Virtual()->Adapter().SetInputLag(lag);
        Prepare(Session.Virtual()->Chip());
        return Session.Virtual()->Chip();
    }

    TFakeSysfs Tree;
    TSettings Settings;
    T_QCCom32 Com;
    TPortSession Session{Com, Settings};
};

TEST_F(LateCableTest, ThePresenceTestFailsWithoutTheSettleAndPassesWithTheDriversOwn)
{
    Open(microseconds(1000));
    EXPECT_EQ(Session.SettleMs(), 5.0);
    TOutcome settled, unsettled;
    RunOn(opVerifyCode, Session.Lines(), Settings, settled);
    EXPECT_TRUE(settled.Status.DeviceFound);
    Settings.PortSettle = 0.0;
    RunOn(opVerifyCode, Session.Lines(), Settings, unsettled);
    EXPECT_FALSE(unsettled.Status.DeviceFound);
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
        Prepare(direct.Chip());
        Prepare(chip);
        TOutcome late, atOnce;
        for (TOutcome *outcome : {&late, &atOnce}) {
            for (std::size_t i = 0; i < BufferSize; ++i)
                outcome->Memory.Buffer[i] = static_cast<std::uint8_t>(i * 3);
            outcome->Memory.HighestAddress = 100;
            outcome->Status.LockBitsByte = 0x67;
        }
        RunOn(code, Session.Lines(), Settings, late);
        RunOn(code, direct.Lines(), Settings, atOnce);
        EXPECT_EQ(chip.Contents().Code, direct.Chip().Contents().Code);
        EXPECT_EQ(chip.Contents().Data, direct.Chip().Contents().Data);
        EXPECT_EQ(chip.Contents().LockBits, direct.Chip().Contents().LockBits);
        EXPECT_EQ(late.Memory.Buffer, atOnce.Memory.Buffer);
        EXPECT_EQ(late.Status.DeviceFound, atOnce.Status.DeviceFound);
        EXPECT_EQ(late.Status.VerifyDifferences, atOnce.Status.VerifyDifferences);
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
