// The wirings of the five known adapters, shared by the parameter dialog and the command-line tool.
#pragma once
#include <array>
#include <string_view>

struct TSettings;

struct TAdapterPreset {
    std::string_view Name;
    int Reset_Line;
    bool RESETInvert;
    int Mosi_Line;
    bool MOSIInvert;
    int Scl_Line;
    bool SCLInvert;
    int Miso_Line;
    bool MISOInvert;
    double ResetDelay1;
    double ResetDelay2;
    double ClockDelay;
    double WriteDelay;
};

// Line indices: outputs 0 TXD, 1 RTS, 2 DTR; input 0 CTS.
inline constexpr std::array<TAdapterPreset, 5> AdapterPresets{{
    {"QR2MW", 2, false, 0, true, 1, false, 0, true, 100, 100, 0, 3},
    {"QZ3NT", 2, false, 1, true, 0, true, 0, true, 200, 200, 0, 3},
    {"Atmel", 2, true, 1, true, 0, true, 0, true, 500, 500, 0, 3},
    {"KV31", 2, false, 0, true, 1, true, 0, true, 100, 100, 0, 3},
    {"PonyProg", 0, false, 2, true, 1, true, 0, true, 100, 100, 0, 3},
}};

// The preset of that name, compared without regard to letter case; null when there is none.
const TAdapterPreset *FindAdapterPreset(std::string_view name);

// Sets the line choices, inversions and the four delays; nothing else.
void ApplyAdapterPreset(const TAdapterPreset &preset, TSettings &settings);
