#include "link/adapter_presets.h"

#include "settings/settings.h"

#include <algorithm>
#include <cctype>

const TAdapterPreset *FindAdapterPreset(std::string_view name)
{
    auto sameName = [name](const TAdapterPreset &preset) {
        return std::equal(name.begin(), name.end(), preset.Name.begin(), preset.Name.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    };
    const auto found = std::find_if(AdapterPresets.begin(), AdapterPresets.end(), sameName);
    return found == AdapterPresets.end() ? nullptr : &*found;
}

void ApplyAdapterPreset(const TAdapterPreset &preset, TSettings &settings)
{
    settings.Reset_Line = preset.Reset_Line;
    settings.RESETInvert = preset.RESETInvert;
    settings.Mosi_Line = preset.Mosi_Line;
    settings.MOSIInvert = preset.MOSIInvert;
    settings.Scl_Line = preset.Scl_Line;
    settings.SCLInvert = preset.SCLInvert;
    settings.Miso_Line = preset.Miso_Line;
    settings.MISOInvert = preset.MISOInvert;
    settings.ResetDelay1 = preset.ResetDelay1;
    settings.ResetDelay2 = preset.ResetDelay2;
    settings.ClockDelay = preset.ClockDelay;
    settings.WriteDelay = preset.WriteDelay;
}
