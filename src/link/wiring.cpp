#include "link/wiring.h"

#include "settings/settings.h"

#include <utility>

TWiring TWiring::From(const TSettings &s)
{
    return {{s.Reset_Line, s.RESETInvert}, {s.Mosi_Line, s.MOSIInvert}, {s.Scl_Line, s.SCLInvert},
            {s.Miso_Line, s.MISOInvert}};
}

std::string TWiring::OutputFunctions(int line) const
{
    std::string names;
    for (const auto &[wire, name] : {std::pair{Reset, "RESET"}, {Mosi, "MOSI"}, {Scl, "SCL"}})
        if (wire.Line == line)
            names += (names.empty() ? "" : ",") + std::string(name);
    return names;
}

std::string TWiring::InputFunctions(int line) const
{
    return Miso.Line == line ? "MISO" : "";
}

bool TWiring::MovesInputs(int output, bool level) const
{
    const bool sclAlone = Scl.Line != Reset.Line && Scl.Line != Mosi.Line;
    return !(sclAlone && output == Scl.Line && level == Scl.LineLevel(true));
}
