// The clocked serial link to the chip over three output control lines and one input line. It keeps
// no state of its own: the line mapping, inversions and delays are read from the settings at every use.
#pragma once
#include <cstdint>

class TLineInterface;
struct TSettings;

class TIspLink {
public:
    using TDelay = void (*)(double ms);

    TIspLink(TLineInterface &lines, const TSettings &settings, TDelay delay = nullptr);

    // 0 = TXD (break), 1 = RTS, 2 = DTR; any other index drives nothing.
    void SetOutputLine(int index, bool level);
    void SclLow();
    void SclHigh();
    void SetMosi(bool bit);
    bool ReadMiso();
    void ResetActive();
    void ResetInactive();

    void SendByte(std::uint8_t value);
    std::uint8_t ReceiveByte();

    void StartProgramming();
    void EndProgramming();
    void PulseReset();
    void IdleLines();

    TLineInterface &Lines() { return LineIf; }
    const TSettings &Settings() const { return Cfg; }
    void Wait(double ms) { Delay(ms); }

private:
    TLineInterface &LineIf;
    const TSettings &Cfg;
    TDelay Delay;
};
