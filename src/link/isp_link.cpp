#include "link/isp_link.h"

#include "link/line_interface.h"
#include "link/precise_delay.h"
#include "settings/settings.h"

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

void TIspLink::SclLow()
{
    SetOutputLine(Cfg.Scl_Line, Cfg.SCLInvert);
}

void TIspLink::SclHigh()
{
    SetOutputLine(Cfg.Scl_Line, !Cfg.SCLInvert);
}

void TIspLink::SetMosi(bool bit)
{
    SetOutputLine(Cfg.Mosi_Line, bit != Cfg.MOSIInvert);
}

bool TIspLink::ReadMiso()
{
    bool level;
    switch (Cfg.Miso_Line) {
    case 0: level = LineIf.GetCTS(); break;
    case 1: level = LineIf.GetDSR(); break;
    case 2: level = LineIf.GetRLSD(); break;
    case 3: level = LineIf.GetRI(); break;
    default: return false; // no line: constant False, not inverted
    }
    return level != Cfg.MISOInvert;
}

void TIspLink::ResetActive()
{
    SetOutputLine(Cfg.Reset_Line, !Cfg.RESETInvert);
}

void TIspLink::ResetInactive()
{
    SetOutputLine(Cfg.Reset_Line, Cfg.RESETInvert);
}

void TIspLink::SendByte(std::uint8_t value)
{
    for (int bit = 7; bit >= 0; --bit) {
        SetMosi((value >> bit) & 1);
        Delay(Cfg.ClockDelay / 2);
        SclHigh(); // MOSI has been stable for half a period at this rising edge
        Delay(Cfg.ClockDelay / 2);
        SclLow();
    }
}

std::uint8_t TIspLink::ReceiveByte()
{
    SetMosi(false);
    std::uint8_t result = 0;
    for (int bit = 7; bit >= 0; --bit) {
        SclHigh();
        Delay(Cfg.ClockDelay / 2);
        if (ReadMiso()) // sampled just before the falling edge
            result |= static_cast<std::uint8_t>(1u << bit);
        SclLow();
        Delay(Cfg.ClockDelay / 2);
    }
    return result;
}

void TIspLink::StartProgramming()
{
    SclLow();
    SetMosi(false);
    ResetActive();
    Delay(Cfg.ResetDelay1);
}

void TIspLink::EndProgramming()
{
    ResetInactive();
    Delay(Cfg.ResetDelay1);
    Delay(Cfg.ResetDelay2);
}

void TIspLink::PulseReset()
{
    if (Cfg.Reset_Line < 0 || Cfg.Reset_Line > 2)
        return;
    ResetActive();
    Delay(Cfg.ResetDelay1);
    ResetInactive();
    Delay(Cfg.ResetDelay2);
}

void TIspLink::IdleLines()
{
    SclHigh();
    SetMosi(true);
    EndProgramming();
}
