// A line driver that records every request in order and answers input reads from a script, for
// checking the exact line sequences the link produces.
#pragma once
#include "link/line_interface.h"
#include "settings/settings.h"

#include <cstdint>
#include <functional>
#include <vector>

enum class TLineCall : std::uint8_t { Break, Rts, Dtr, Cts, Dsr, Rlsd, Ri };

struct TLineEvent {
    TLineCall Call;
    bool Level; // level set, or level answered
    bool operator==(const TLineEvent &) const = default;
};

class TRecordingLines : public TImmediateLines {
public:
    std::vector<TLineEvent> Events;
    // Answer for an input read; the default leaves every input off.
    std::function<bool(TLineCall)> Input = [](TLineCall) { return false; };

    void SetBreak(bool level) override { Events.push_back({TLineCall::Break, level}); }
    void SetRts(bool level) override { Events.push_back({TLineCall::Rts, level}); }
    void SetDtr(bool level) override { Events.push_back({TLineCall::Dtr, level}); }
    bool GetCTS() override { return Read(TLineCall::Cts); }
    bool GetDSR() override { return Read(TLineCall::Dsr); }
    bool GetRLSD() override { return Read(TLineCall::Rlsd); }
    bool GetRI() override { return Read(TLineCall::Ri); }

private:
    bool Read(TLineCall call)
    {
        const bool level = Input(call);
        Events.push_back({call, level});
        return level;
    }
};

// The bytes a chip would have shifted in: MOSI sampled at each rising SCL edge, MSB first, with the
// logical pin levels the settings define. Only whole bytes are returned.
inline std::vector<std::uint8_t> DecodeMosiBytes(const std::vector<TLineEvent> &events, const TSettings &s)
{
    auto lineOf = [](TLineCall call) { return call == TLineCall::Break ? 0 : call == TLineCall::Rts ? 1 : 2; };
    bool levels[3] = {false, false, false};
    std::vector<std::uint8_t> bytes;
    unsigned shift = 0;
    int bits = 0;
    for (const TLineEvent &e : events) {
        if (e.Call > TLineCall::Dtr)
            continue;
        const int line = lineOf(e.Call);
        const bool sclBefore = s.Scl_Line == line ? levels[line] != s.SCLInvert : false;
        levels[line] = e.Level;
        const bool sclAfter = s.Scl_Line == line ? levels[line] != s.SCLInvert : false;
        if (s.Scl_Line == line && !sclBefore && sclAfter) {
            const bool mosi = s.Mosi_Line >= 0 && s.Mosi_Line <= 2 && (levels[s.Mosi_Line] != s.MOSIInvert);
            shift = (shift << 1) | (mosi ? 1u : 0u);
            if (++bits == 8) {
                bytes.push_back(static_cast<std::uint8_t>(shift & 0xFF));
                bits = 0;
                shift = 0;
            }
        }
    }
    return bytes;
}
