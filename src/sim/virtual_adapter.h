// The passive adapter between the port's control lines and the virtual chip's pins.
#pragma once
#include "link/line_interface.h"
#include <array>
#include <chrono>
#include <deque>
#include <optional>

class TVirtualChip;
struct TSettings;

// Which output line (0 = TXD break, 1 = RTS, 2 = DTR) drives each target input, which input line
// (0 = CTS, 1 = DSR, 2 = RLSD, 3 = RI) carries MISO, and whether each passes through an inverter.
// Any other index leaves that pin or line unconnected.
struct TAdapterWiring {
    int Reset_Line = 2;
    int Mosi_Line = 1;
    int Scl_Line = 0;
    int Miso_Line = 0;
    bool RESETInvert = false;
    bool SCLInvert = false;
    bool MOSIInvert = false;
    bool MISOInvert = false;

    static TAdapterWiring From(const TSettings &settings);
};

// How a cable whose chip has no break of its own (some CH340/CH341) imitates one: its driver sends a
// single NUL at about 47 baud, so TXD falls at the break request and rises again by itself some
// 200 ms later, whatever the program asked. The ch341 driver's break-off request waits until that
// character has gone (OffWaits); a driver that waits at the break-on request instead (OnWaits) is
// the other plausible reading. Either way a break on and off takes the character's length, and
// that is what the program times.
enum class TBreakImitation { None, OffWaits, OnWaits };

class TVirtualAdapter : public TImmediateLines {
public:
    // Wired the way the settings say, read again at every request: the program's wiring just works.
    TVirtualAdapter(TVirtualChip &chip, const TSettings &settings);
    TVirtualAdapter(TVirtualChip &, const TSettings &&) = delete;
    // A fixed wiring, e.g. one that differs from the settings, as a mis-wired adapter would.
    TVirtualAdapter(TVirtualChip &chip, const TAdapterWiring &wiring);

    void SetBreak(bool level) override;
    void SetRts(bool level) override { SetOutput(1, level); }
    void SetDtr(bool level) override { SetOutput(2, level); }
    bool GetCTS() override { return ReadInput(0); }
    bool GetDSR() override { return ReadInput(1); }
    bool GetRLSD() override { return ReadInput(2); }
    bool GetRI() override { return ReadInput(3); }
    // All three outputs (TXD break, RTS, DTR) changing at the same instant, as a cable's chip drives
    // them in bit-bang mode.
    void SetOutputs(const std::array<bool, 3> &outputs);
    // Inputs that show the chip's MISO only this long after it changed, as a USB cable whose driver
    // answers from the cable's last interrupt-endpoint report (pl2303, ch341, cdc_acm). 0: at once.
    void SetInputLag(std::chrono::microseconds lag);
    void SetBreakImitation(TBreakImitation mode, std::chrono::milliseconds length = std::chrono::milliseconds(200));

private:
    using TClock = std::chrono::steady_clock;
    struct TMisoChange {
        TClock::time_point At;
        std::optional<bool> Level;
    };

    TAdapterWiring Wiring() const;
    void SetOutput(int index, bool level);
    bool ReadInput(int index);
    void DrivePins();
    std::optional<bool> ShownMiso();
    void EndImitatedBreak(bool wait);

    TVirtualChip &Chip;
    const TSettings *Settings = nullptr;
    TAdapterWiring Fixed;
    std::array<bool, 3> Outputs{}; // a port starts with every output cleared
    std::chrono::microseconds Lag{0};
    std::deque<TMisoChange> MisoHistory; // oldest first; the first one is what shows now
    TBreakImitation Imitation = TBreakImitation::None;
    std::chrono::milliseconds ImitationLength{200};
    std::optional<TClock::time_point> ImitationEnds; // while the imitating character is on the line
};
