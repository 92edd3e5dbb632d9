// The adapter's wiring and inversions, and the presence test of the program against the virtual target.
#include "sim_fixture.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

namespace {

TSettings CrossWired()
{
    TSettings s = QuickSettings();
    s.Scl_Line = 2;
    s.Mosi_Line = 0;
    s.Reset_Line = 1;
    s.Miso_Line = 3;
    s.SCLInvert = s.MOSIInvert = s.RESETInvert = s.MISOInvert = true;
    return s;
}

bool Detect(TLineInterface &lines, const TSettings &settings)
{
    TIspLink link(lines, settings);
    TDeviceCommands commands(link, &NoSleep);
    link.StartProgramming();
    commands.ProgrammingEnable();
    const bool found = commands.DetectDevice();
    link.EndProgramming();
    return found;
}

TEST(VirtualAdapter, FollowsTheSettingsAtEveryRequest)
{
    TSettings settings = CrossWired();
    TVirtualChip chip(TChipKind::AT89S8252);
    TVirtualAdapter adapter(chip, settings);
    EXPECT_TRUE(Detect(adapter, settings));

    settings = QuickSettings(); // the user picks another preset between operations
    EXPECT_TRUE(Detect(adapter, settings));
    EXPECT_EQ(chip.Counters().DecodedOf(TInstruction::ProgrammingEnable), 2u);
}

TEST(VirtualAdapter, MisWiredAdapterDoesNotReachTheChip)
{
    const TSettings settings = QuickSettings();
    struct TCase {
        const char *What;
        TAdapterWiring Wiring;
        bool ChipEnabled; // whether the chip still got Programming Enable
    };
    TAdapterWiring swapped;
    std::swap(swapped.Mosi_Line, swapped.Scl_Line);
    TAdapterWiring resetInverted;
    resetInverted.RESETInvert = true;
    TAdapterWiring misoElsewhere;
    misoElsewhere.Miso_Line = 1;
    TAdapterWiring misoInverted;
    misoInverted.MISOInvert = true;
    TAdapterWiring resetOpen;
    resetOpen.Reset_Line = 5;
    for (const TCase &c : {TCase{"MOSI and SCK swapped", swapped, false},
                           TCase{"RESET through an inverter", resetInverted, false},
                           TCase{"RESET not connected", resetOpen, false},
                           TCase{"MISO on DSR", misoElsewhere, true},
                           TCase{"MISO through an inverter", misoInverted, true}}) {
        TVirtualChip chip(TChipKind::AT89S8252);
        TVirtualAdapter adapter(chip, c.Wiring);
        EXPECT_FALSE(Detect(adapter, settings)) << c.What;
        EXPECT_EQ(chip.Counters().DecodedOf(TInstruction::ProgrammingEnable) > 0, c.ChipEnabled) << c.What;
        if (!c.ChipEnabled) {
            EXPECT_EQ(chip.Contents().Code[0], 0xFF) << c.What << ": address 0 changed";
        }
    }
}

TEST(VirtualAdapter, InputsOtherThanMisoAndUndrivenMisoReadOff)
{
    TAdapterWiring wiring;
    wiring.Miso_Line = 2;
    wiring.MISOInvert = true;
    TVirtualChip chip(TChipKind::AT89S8252);
    chip.SetFault(TChipFault::MisoStuckLow);
    TVirtualAdapter adapter(chip, wiring);
    EXPECT_FALSE(adapter.GetCTS());
    EXPECT_FALSE(adapter.GetDSR());
    EXPECT_TRUE(adapter.GetRLSD()) << "a low MISO through the inverter";
    EXPECT_FALSE(adapter.GetRI());

    TVirtualChip empty(TChipKind::AT89S8252);
    empty.SetFault(TChipFault::NoChip);
    TVirtualAdapter open(empty, wiring);
    EXPECT_FALSE(open.GetRLSD()) << "nothing drives the inverter";
}

TEST(VirtualAdapter, CountsEveryRequestOnce)
{
    const TSettings settings = QuickSettings();
    TVirtualChip chip(TChipKind::AT89S8252);
    TVirtualAdapter adapter(chip, settings);
    adapter.SetBreak(true);
    adapter.SetBreak(true);
    adapter.SetRts(false);
    adapter.SetDtr(true);
    adapter.GetCTS();
    adapter.GetDSR();
    adapter.GetRLSD();
    adapter.GetRI();
    EXPECT_EQ(chip.Counters().LineRequests, 8u);
}

TEST(VirtualTargetDetect, FindsTheChipAndLeavesAddressZeroAsItWas)
{
    const TSettings settings = QuickSettings(1);
    TVirtualTarget target(settings);
    TSimImage image = TSimImage::Erased(TChipKind::AT89S53);
    image.Code[0] = 0x02;
    target.Chip().SetContents(image);
    EXPECT_EQ(target.Chip().Kind(), TChipKind::AT89S53);

    EXPECT_TRUE(Detect(target.Lines(), settings));
    const TSimCounters &counters = target.Chip().Counters();
    EXPECT_EQ(target.Chip().Contents().Code[0], 0x02);
    EXPECT_EQ(counters.DecodedOf(TInstruction::ProgrammingEnable), 1u);
    EXPECT_EQ(counters.DecodedOf(TInstruction::WriteCode), 3u);
    EXPECT_EQ(counters.DecodedOf(TInstruction::ReadCode), 5u);
    EXPECT_EQ(counters.Lost + counters.Refused, 0u);
}

TEST(VirtualTargetDetect, ReportsNoDeviceForEachBrokenTarget)
{
    const TSettings settings = QuickSettings();
    for (const TChipFault fault : {TChipFault::NoChip, TChipFault::MisoStuckLow, TChipFault::MisoStuckHigh}) {
        TVirtualTarget target(settings);
        target.Chip().SetFault(fault);
        EXPECT_FALSE(Detect(target.Lines(), settings)) << static_cast<int>(fault);
    }
    TVirtualTarget slow(settings);
    slow.Chip().SetWriteCycle(Forever);
    EXPECT_FALSE(Detect(slow.Lines(), settings)) << "a write cycle longer than the program waits";
    TVirtualTarget dying(settings);
    dying.Chip().StopAnsweringAfter(6);
    EXPECT_FALSE(Detect(dying.Lines(), settings)) << "a chip that stops answering";
}

} // namespace
