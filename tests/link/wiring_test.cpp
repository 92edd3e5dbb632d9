// The one reading of the settings' wiring that the link, the trace, the session, the ftdi port and
// korvel-cli share.
#include "link/adapter_presets.h"
#include "link/wiring.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

namespace {

TEST(Wiring, NamesEachLinesFunctionsAndWhichRequestsCanMoveMiso)
{
    TSettings shared; // RESET and MOSI on one line, the default wiring turned around
    shared.Reset_Line = 1;
    shared.Mosi_Line = 1;
    shared.Scl_Line = 0;
    shared.SCLInvert = true;
    shared.Miso_Line = 2;
    const TWiring wiring = TWiring::From(shared);
    EXPECT_EQ(wiring.OutputFunctions(0), "SCL");
    EXPECT_EQ(wiring.OutputFunctions(1), "RESET,MOSI");
    EXPECT_EQ(wiring.OutputFunctions(2), "");
    EXPECT_EQ(wiring.InputFunctions(2), "MISO");
    EXPECT_EQ(wiring.InputFunctions(0), "");

    // SCL alone on its line: only its falling edge (a high line through the inverter) moves MISO.
    EXPECT_FALSE(wiring.MovesInputs(0, false)) << "inverted SCL rises with the line low";
    EXPECT_TRUE(wiring.MovesInputs(0, true));
    EXPECT_TRUE(wiring.MovesInputs(1, true));
    EXPECT_TRUE(wiring.MovesInputs(1, false));

    shared.Mosi_Line = 0; // SCL shares its line: every request may move MISO
    EXPECT_TRUE(TWiring::From(shared).MovesInputs(0, false));
}

TEST(Wiring, PutsEachPinAtItsLevelThroughItsInverter)
{
    for (const char *name : {"Atmel", "Ponyprog"}) {
        const TAdapterPreset *preset = FindAdapterPreset(name);
        ASSERT_NE(preset, nullptr) << name;
        TSettings settings;
        ApplyAdapterPreset(*preset, settings);
        const TWiring wiring = TWiring::From(settings);
        EXPECT_EQ(wiring.Reset.Line, preset->Reset_Line) << name;
        EXPECT_EQ(wiring.Scl.LineLevel(true), !preset->SCLInvert) << name;
        EXPECT_EQ(wiring.Miso.Line, preset->Miso_Line) << name;
        EXPECT_TRUE(wiring.Reset.IsOutput()) << name;
        EXPECT_TRUE(wiring.Miso.IsInput()) << name;
    }
    EXPECT_FALSE((TWire{3, false}.IsOutput())) << "RI is no output";
    EXPECT_FALSE((TWire{-1, false}.IsInput())) << "unconnected";
}

} // namespace
