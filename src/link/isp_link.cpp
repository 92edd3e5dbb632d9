#include "link/isp_link.h"

#include "link/line_interface.h"
#include "link/precise_delay.h"
#include "link/wiring.h"
#include "settings/settings.h"

#include <algorithm>

TIspLink::TIspLink(TLineInterface &lines, const TSettings &settings, TDelay delay)
    : LineIf(lines), Cfg(settings), Delay(delay ? delay : &::PreciseDelay)
{
}

void TIspLink::SetOutputLine(int index, bool level)
{
    switch (index) {
    case 0: LineIf.SetBreak(level); break;
    case 1: LineIf.SetRts(level); break;
    case 2: LineIf.SetDtr(level); break;
    default: break;
    }
}

void TIspLink::SetPin(const TWire &wire, bool level)
{
    SetOutputLine(wire.Line, wire.LineLevel(level));
}

void TIspLink::SclLow()
{
    SetPin(TWiring::From(Cfg).Scl, false);
}

void TIspLink::SclHigh()
{
    SetPin(TWiring::From(Cfg).Scl, true);
}

void TIspLink::SetMosi(bool bit)
{
    SetPin(TWiring::From(Cfg).Mosi, bit);
}

bool TIspLink::ReadMiso()
{
    const TWire miso = TWiring::From(Cfg).Miso;
    if (!miso.IsInput())
        return false; // no line: constant False, not inverted
    LineIf.QueueSample(miso.Line);
    return miso.LineLevel(LineIf.TakeSample());
}

void TIspLink::Wait(double ms)
{
    if (!Stop || !(ms > StoppableWaitMs)) {
        LineIf.Wait(ms, Delay);
        return;
    }
    for (double left = ms; left > 0 && !*Stop; left -= StoppableWaitMs)
        LineIf.Wait(std::min(left, StoppableWaitMs), Delay);
}

void TIspLink::Flush()
{
    LineIf.Flush();
}

void TIspLink::ResetActive()
{
    SetPin(TWiring::From(Cfg).Reset, true);
}

void TIspLink::ResetInactive()
{
    SetPin(TWiring::From(Cfg).Reset, false);
}

void TIspLink::SendByte(std::uint8_t value)
{
    for (int bit = 7; bit >= 0; --bit) {
        SetMosi((value >> bit) & 1);
        Wait(Cfg.ClockDelay / 2);
        SclHigh(); // MOSI has been stable for half a period at this rising edge
        Wait(Cfg.ClockDelay / 2);
        SclLow();
    }
}

std::uint8_t TIspLink::ReceiveByte()
{
    return TakeByte(QueueReceiveByte());
}

TPendingByte TIspLink::QueueReceiveByte()
{
    SetMosi(false);
    return QueueReceiveMore();
}

TPendingByte TIspLink::QueueReceiveMore()
{
    const TWire miso = TWiring::From(Cfg).Miso;
    const TPendingByte pending{miso.IsInput(), miso.Inverted};
    for (int bit = 7; bit >= 0; --bit) {
        SclHigh();
        Wait(Cfg.ClockDelay / 2);
        if (pending.Sampled) // sampled just before the falling edge
            LineIf.QueueSample(miso.Line);
        SclLow();
        Wait(Cfg.ClockDelay / 2);
    }
    return pending;
}

std::uint8_t TIspLink::TakeByte(TPendingByte pending)
{
    std::uint8_t result = 0;
    for (int bit = 7; bit >= 0 && pending.Sampled; --bit)
        if (LineIf.TakeSample() != pending.Invert)
            result |= static_cast<std::uint8_t>(1u << bit);
    return result;
}

void TIspLink::StartProgramming()
{
    SclLow();
    SetMosi(false);
    ResetActive();
    Wait(Cfg.ResetDelay1);
}

// The lines at rest have reached the pins when it returns, also on a port that holds its changes.
void TIspLink::EndProgramming()
{
    ResetInactive();
    Wait(Cfg.ResetDelay1);
    Wait(Cfg.ResetDelay2);
    Flush();
}

void TIspLink::PulseReset()
{
    if (!TWiring::From(Cfg).Reset.IsOutput())
        return;
    ResetActive();
    Wait(Cfg.ResetDelay1);
    // The target may talk the moment RESET lets go: with SCL and MOSI at rest by then, a port that
    // hears the target only with its lines at rest (a cable's chip in bit-bang mode) hears it from the
    // first character, as an operation's end releases RESET.
    SclHigh();
    SetMosi(true);
    ResetInactive();
    Wait(Cfg.ResetDelay2);
    Flush();
}

void TIspLink::IdleLines()
{
    SclHigh();
    SetMosi(true);
    EndProgramming();
}
