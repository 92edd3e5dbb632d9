#include "sim/virtual_adapter.h"
#include "settings/settings.h"
#include "sim/virtual_chip.h"

#include <thread>

namespace {

// An unconnected RESET reads low through the chip's internal pull-down; unconnected SCK and MOSI
// read high through the port 1 pull-ups they share their pins with.
bool PinLevel(const std::array<bool, 3> &outputs, int index, bool invert, bool unconnected)
{
    if (index < 0 || index > 2)
        return unconnected;
    return outputs[static_cast<std::size_t>(index)] != invert;
}

} // namespace

TAdapterWiring TAdapterWiring::From(const TSettings &settings)
{
    return {settings.Reset_Line, settings.Mosi_Line, settings.Scl_Line, settings.Miso_Line,
            settings.RESETInvert, settings.SCLInvert, settings.MOSIInvert, settings.MISOInvert};
}

TVirtualAdapter::TVirtualAdapter(TVirtualChip &chip, const TSettings &settings) : Chip(chip), Settings(&settings)
{
    DrivePins();
}

TVirtualAdapter::TVirtualAdapter(TVirtualChip &chip, const TAdapterWiring &wiring) : Chip(chip), Fixed(wiring)
{
    DrivePins();
}

TAdapterWiring TVirtualAdapter::Wiring() const
{
    return Settings ? TAdapterWiring::From(*Settings) : Fixed;
}

void TVirtualAdapter::SetBreak(bool level)
{
    if (Imitation == TBreakImitation::None) {
        SetOutput(0, level);
        return;
    }
    if (!level) {
        EndImitatedBreak(Imitation == TBreakImitation::OffWaits);
        SetOutput(0, false);
        return;
    }
    SetOutput(0, true);
    ImitationEnds = TClock::now() + ImitationLength;
    if (Imitation == TBreakImitation::OnWaits)
        EndImitatedBreak(true);
}

void TVirtualAdapter::SetBreakImitation(TBreakImitation mode, std::chrono::milliseconds length)
{
    Imitation = mode;
    ImitationLength = length;
    ImitationEnds.reset();
}

// TXD rises when the character has gone: at once when the caller waits for it, else at the first
// request after that.
void TVirtualAdapter::EndImitatedBreak(bool wait)
{
    if (!ImitationEnds || (!wait && TClock::now() < *ImitationEnds))
        return;
    std::this_thread::sleep_until(*ImitationEnds);
    ImitationEnds.reset();
    Outputs[0] = false;
    DrivePins();
}

void TVirtualAdapter::SetOutput(int index, bool level)
{
    EndImitatedBreak(false);
    Chip.NoteLineRequest();
    Outputs[static_cast<std::size_t>(index)] = level;
    DrivePins();
}

void TVirtualAdapter::SetOutputs(const std::array<bool, 3> &outputs)
{
    Outputs = outputs;
    DrivePins();
}

void TVirtualAdapter::DrivePins()
{
    const TAdapterWiring w = Wiring();
    Chip.SetPins({PinLevel(Outputs, w.Reset_Line, w.RESETInvert, false),
                  PinLevel(Outputs, w.Scl_Line, w.SCLInvert, true),
                  PinLevel(Outputs, w.Mosi_Line, w.MOSIInvert, true)});
    // MISO moves only with the pins, so noting it here is the whole history.
    if (Lag.count() > 0 && MisoHistory.back().Level != Chip.Miso())
        MisoHistory.push_back({TClock::now(), Chip.Miso()});
}

void TVirtualAdapter::SetInputLag(std::chrono::microseconds lag)
{
    Lag = lag;
    MisoHistory = {{TClock::time_point::min(), Chip.Miso()}};
}

std::optional<bool> TVirtualAdapter::ShownMiso()
{
    if (Lag.count() <= 0)
        return Chip.Miso();
    const TClock::time_point reported = TClock::now() - Lag;
    while (MisoHistory.size() > 1 && MisoHistory[1].At <= reported)
        MisoHistory.pop_front();
    return MisoHistory.front().Level;
}

// A line with nothing driving it reads off, whatever inverter the adapter has.
bool TVirtualAdapter::ReadInput(int index)
{
    EndImitatedBreak(false);
    Chip.NoteInputRead();
    const TAdapterWiring w = Wiring();
    if (w.Miso_Line != index)
        return false;
    const std::optional<bool> miso = ShownMiso();
    return miso && *miso != w.MISOInvert;
}
