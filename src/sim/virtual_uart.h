// The virtual chip's UART: while the port is open and RESET released, the program in the chip's code
// memory runs in s51 (TS51Target) at the crystal the settings give, and the port's data path reaches
// its serial port. RESET held (every operation holds it, Chip Reset pulses it) or the port closing
// stops it; releasing RESET starts it again from the code the chip holds then. What the program
// wrote into the AT89S8252's EEPROM goes into the chip when it stops, so an operation reads it back.
//
// An erased code memory (all FF) runs nothing that could be seen, so s51 is not started for it.
//
// Threads: the chip's RESET changes come from whoever drives its pins (the UI thread, or the
// programming thread while it holds RESET), the port's open and close from the UI thread; both are
// serialised here. The data path and Problem may be called from any thread.
#pragma once
#include "link/virtual_serial.h"
#include "sim/s51_target.h"

#include <atomic>
#include <mutex>

class TVirtualChip;
struct TSettings;

class TVirtualUart final : public TVirtualSerial {
public:
    // The chip tells this of its RESET pin from now on, until this goes.
    TVirtualUart(TVirtualChip &chip, const TSettings &settings);
    TVirtualUart(TVirtualChip &, const TSettings &&) = delete;
    ~TVirtualUart() override;

    void PortOpened(bool open) override;
    void SetBaud(int baud) override { Baud = baud; }
    void Write(const std::string &bytes) override { S51.Write(bytes); }
    std::string ReadQueued() override { return S51.ReadQueued(); }
    int InCount() override { return S51.InCount(); }
    std::string Problem() const override;
    std::string Failure() const override;

    TS51Target &Target() { return S51; }

private:
    void ResetChanged(bool held);
    void Update();
    void StartRun();
    void StopRun();

    TVirtualChip &Chip;
    const TSettings &Settings;
    std::mutex Lock; // guards the next five
    bool Open = false;
    bool Running = false; // a run was started (or found nothing to run) since RESET was released
    bool Simulating = false; // s51 took the run, so its EEPROM comes back at the stop
    std::vector<std::uint8_t> StartData; // the EEPROM as the run began
    std::atomic<bool> Missing{false}; // nothing ran, and s51 could not have run it
    std::atomic<int> Baud{0};
    TS51Target S51;
};

// What the terminal shows when the program's rate and its own differ, e.g. "The program in the
// virtual chip sends at 9600 baud, the terminal reads at 300 baud: on a real line every character
// would arrive garbled."
std::string BaudMismatchText(double programBaud, int terminalBaud);
