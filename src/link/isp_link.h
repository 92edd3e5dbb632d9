// The clocked serial link to the chip over three output control lines and one input line. It keeps
// no state of its own: the line mapping, inversions and delays are read from the settings at every use.
// Every wait goes through the line interface, so that a port that streams its waveform can hold it in
// the stream.
#pragma once
#include <atomic>
#include <cstdint>

class TLineInterface;
struct TSettings;
struct TWire;

// A received byte whose bits may still be on their way: collect it with TakeByte, in the order the
// bytes were queued.
struct TPendingByte {
    bool Sampled = false; // MISO is on an input line, so eight samples were queued
    bool Invert = false;
};

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
    // ReceiveByte in two halves: the clocking now, the value when it is needed.
    TPendingByte QueueReceiveByte();
    // The next byte received straight after one: MOSI is still low, so only SCL moves.
    TPendingByte QueueReceiveMore();
    std::uint8_t TakeByte(TPendingByte pending);

    void StartProgramming();
    void EndProgramming();
    void PulseReset();
    void IdleLines();

    TLineInterface &Lines() { return LineIf; }
    const TSettings &Settings() const { return Cfg; }
    // A wait longer than a moment ends early once *stop is set (an operation asked to stop), in
    // slices no shorter than any write or erase step of the chip takes.
    void SetStopFlag(const std::atomic<bool> *stop) { Stop = stop; }
    bool StopRequested() const { return Stop && *Stop; }
    void Wait(double ms);
    // Makes every change so far reach the pins, before a plain thread sleep.
    void Flush();

private:
    // Puts the pin the wire leads to at `level`, through the wire's inverter.
    void SetPin(const TWire &wire, bool level);

    TLineInterface &LineIf;
    const TSettings &Cfg;
    TDelay Delay;
    const std::atomic<bool> *Stop = nullptr;
};

// Waits longer than this are sliced so that a stop request ends them; each slice is this long.
constexpr double StoppableWaitMs = 100;
