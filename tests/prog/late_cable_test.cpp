// The virtual chip behind a cable whose driver reports input changes late, found as pl2303 in a fake
// sysfs tree: without the settle the link reads the bit before, with it every operation is right,
// and the settle can be measured without writing the chip.
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

#include <functional>
#include <thread>

namespace {

using std::chrono::microseconds;

void ShortSleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
}

class TLinesUi : public TProgUi {
public:
    void ClearDifferences() override { Lines.clear(); }
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override
    {
        Lines.push_back(DifferenceLine(address, buffer, device));
    }
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}
    std::vector<std::string> Lines;
};

struct TOutcome {
    TMemoryBuffer Memory;
    TProgStatus Status;
    TLinesUi Ui;
};

void RunOperation(TOperationCode code, TLineInterface &lines, const TSettings &settings, TOutcome &outcome)
{
    TProgContext context{outcome.Status, outcome.Memory, settings, lines, outcome.Ui, nullptr, &ShortSleep};
    TProgRunner runner(context);
    ASSERT_TRUE(runner.StartOperation(code));
    runner.WaitForEnd();
}

void QuickChip(TVirtualChip &chip, const TSimImage &contents)
{
    chip.SetWriteCycle(microseconds(20));
    chip.SetEraseTime(microseconds(200));
    chip.SetContents(contents);
}

TSimImage Contents()
{
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 5 + (i >> 7));
    for (std::size_t i = 0; i < image.Data.size(); ++i)
        image.Data[i] = static_cast<std::uint8_t>(~i);
    return image;
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
        Com.SetShowErrors(false);
    }

    // Opens the session and puts the chip behind inputs that show MISO this late.
    TVirtualChip &Open(microseconds lag)
    {
        std::string error;
        EXPECT_EQ(Session.Open({}, error), TOpenResult::Ok) << error;
        Session.Virtual()->Adapter().SetInputLag(lag);
        TVirtualChip &chip = Session.Virtual()->Chip();
        QuickChip(chip, Contents());
        chip.SetFault(TChipFault::None);
        return chip;
    }

    TFakeSysfs Tree;
    TSettings Settings;
    T_QCCom32 Com;
    TPortSession Session{Com, Settings};
};

TEST_F(LateCableTest, ThePresenceTestFailsWithoutTheSettleAndPassesWithTheDriversOwn)
{
    Open(microseconds(1000));
    EXPECT_EQ(Session.Driver().Driver, "pl2303");
    EXPECT_EQ(Session.SettleMs(), 5.0);
    TOutcome settled;
    RunOperation(opVerifyCode, Session.Lines(), Settings, settled);
    EXPECT_TRUE(settled.Status.DeviceFound);

    Settings.PortSettle = 0.0;
    TOutcome unsettled;
    RunOperation(opVerifyCode, Session.Lines(), Settings, unsettled);
    EXPECT_FALSE(unsettled.Status.DeviceFound);
}

// Each operation against the same one on a chip read at once; a short lag and a settle just above
// it keep the whole memory reads quick.
TEST_F(LateCableTest, EveryOperationEndsAsOnAPortReadAtOnce)
{
    struct TCase {
        const char *Name;
        TOperationCode Code;
        std::function<void(TMemoryBuffer &)> Prepare;
    };
    auto range = [](int highest) {
        return [highest](TMemoryBuffer &m) {
            for (std::size_t i = 0; i < BufferSize; ++i)
                m.Buffer[i] = static_cast<std::uint8_t>(i * 3);
            m.HighestAddress = highest;
        };
    };
    const TCase cases[] = {
        {"write code", opWriteCode, range(100)},
        {"fast write", opWriteCodeFast,
         [](TMemoryBuffer &m) {
             m.LastProgrammed = m.Buffer;
             m.Buffer[7] = 0x11;
             m.HighestAddress = 63;
         }},
        {"write data", opWriteData, range(50)},
        {"verify code", opVerifyCode, range(100)},
        {"verify data", opVerifyData, range(100)},
        {"read code", opReadCode, nullptr},
        {"read data", opReadData, nullptr},
        {"erase", opChipErase, nullptr},
        {"lock", opWriteLockBits, [](TMemoryBuffer &) {}},
        {"reset", opChipReset, nullptr},
    };
    Settings.PortSettle = 0.025;
    TVirtualChip &chip = Open(microseconds(10));
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TVirtualTarget direct(Settings);
        QuickChip(direct.Chip(), Contents());
        QuickChip(chip, Contents());
        TOutcome late, atOnce;
        late.Status.LockBitsByte = atOnce.Status.LockBitsByte = 0x67;
        if (c.Prepare) {
            c.Prepare(late.Memory);
            c.Prepare(atOnce.Memory);
        }
        RunOperation(c.Code, Session.Lines(), Settings, late);
        RunOperation(c.Code, direct.Lines(), Settings, atOnce);
        EXPECT_EQ(late.Status.DeviceFound, atOnce.Status.DeviceFound);
        EXPECT_EQ(chip.Contents().Code, direct.Chip().Contents().Code);
        EXPECT_EQ(chip.Contents().Data, direct.Chip().Contents().Data);
        EXPECT_EQ(chip.Contents().LockBits, direct.Chip().Contents().LockBits);
        EXPECT_EQ(late.Memory.Buffer, atOnce.Memory.Buffer);
        EXPECT_EQ(late.Ui.Lines, atOnce.Ui.Lines);
        EXPECT_EQ(late.Status.VerifyDifferences, atOnce.Status.VerifyDifferences);
    }
}

TEST_F(LateCableTest, TheMeasurementFindsASettleThatReadsTheChipRight)
{
    Open(microseconds(300));
    const TSettleMeasurement m = MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3);
    ASSERT_EQ(m.Result, TSettleMeasurement::TResult::Measured);
    const TSimImage chip = Contents();
    EXPECT_EQ(m.Reference, std::vector<std::uint8_t>(chip.Code.begin(), chip.Code.begin() + 8));
    // 0.5 ms is the first settle tried above the lag; a reader held up by the machine may pass earlier.
    EXPECT_GT(m.ShortestMs, 0.0);
    EXPECT_LE(m.ShortestMs, 0.5);
    ASSERT_TRUE(m.FailedMs);
    EXPECT_LT(*m.FailedMs, m.ShortestMs);
    EXPECT_EQ(m.RecommendedMs, 2 * m.ShortestMs);
    EXPECT_GT(m.RequestMs, 0.0);
    EXPECT_EQ(Session.Settle()->SettleMs(), 5.0) << "the trials end with the setting in use again";
}

TEST_F(LateCableTest, TheMeasurementSaysWhenItCannotTell)
{
    struct TCase {
        const char *Name;
        microseconds Lag;
        std::function<void(TVirtualChip &)> Prepare;
        TSettleMeasurement::TResult Result;
    };
    const TCase cases[] = {
        {"erased chip", microseconds(300), [](TVirtualChip &c) { c.SetContents(TSimImage::Erased(TChipKind::AT89S8252)); },
         TSettleMeasurement::TResult::NoChanges},
        {"no chip", microseconds(300), [](TVirtualChip &c) { c.SetFault(TChipFault::NoChip); },
         TSettleMeasurement::TResult::NoChanges},
        {"later than the reference", microseconds(4000), [](TVirtualChip &) {}, TSettleMeasurement::TResult::Unstable},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TVirtualChip &chip = Open(c.Lag);
        c.Prepare(chip);
        EXPECT_EQ(MeasureSettle(Session.Lines(), *Session.Settle(), Settings, 3).Result, c.Result);
    }
}

} // namespace
