#include "sim/line_trace.h"
#include "settings/settings.h"
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t FlushAt = 64 * 1024;
constexpr char Codes[] = {'r', 'c', 'o', 'i'};

// Every signal starts unknown: the trace cannot know the lines before the first request.
const char Header[] = "$timescale 1 us $end\n"
                      "$scope module isp $end\n"
                      "$var wire 1 r rst $end\n"
                      "$var wire 1 c sck $end\n"
                      "$var wire 1 o mosi $end\n"
                      "$var wire 1 i miso $end\n"
                      "$upscope $end\n"
                      "$enddefinitions $end\n"
                      "#0\n"
                      "$dumpvars\nxr\nxc\nxo\nxi\n$end\n";

std::optional<bool> PinLevel(const std::array<std::optional<bool>, 3> &outputs, int index, bool invert)
{
    if (index < 0 || index > 2 || !outputs[static_cast<std::size_t>(index)])
        return std::nullopt;
    return *outputs[static_cast<std::size_t>(index)] != invert;
}

} // namespace

TLineTrace::TLineTrace(TLineInterface &inner, const TSettings &settings, const std::string &path)
    : Inner(inner), Cfg(settings), Path(path), File(std::fopen(path.c_str(), "wb")),
      Start(std::chrono::steady_clock::now())
{
    if (!File)
        throw TLineTraceError("Cannot write the line trace " + path + ": " + std::strerror(errno));
    Buffer.reserve(FlushAt + 256);
    Buffer = Header;
}

TLineTrace::~TLineTrace()
{
    Flush();
    if (File)
        std::fclose(File);
}

void TLineTrace::SetBreak(bool level)
{
    Inner.SetBreak(level);
    OutputChanged(0, level);
}

void TLineTrace::SetRts(bool level)
{
    Inner.SetRts(level);
    OutputChanged(1, level);
}

void TLineTrace::SetDtr(bool level)
{
    Inner.SetDtr(level);
    OutputChanged(2, level);
}

// All three pins are worked out again, so that a line shared by two functions moves both signals.
void TLineTrace::OutputChanged(int index, bool level)
{
    Outputs[static_cast<std::size_t>(index)] = level;
    TLevels levels = Shown;
    levels[Rst] = PinLevel(Outputs, Cfg.Reset_Line, Cfg.RESETInvert);
    levels[Sck] = PinLevel(Outputs, Cfg.Scl_Line, Cfg.SCLInvert);
    levels[Mosi] = PinLevel(Outputs, Cfg.Mosi_Line, Cfg.MOSIInvert);
    Record(levels);
}

bool TLineTrace::Sampled(int index, bool state)
{
    if (Cfg.Miso_Line == index) {
        TLevels levels = Shown;
        levels[Miso] = state != Cfg.MISOInvert;
        Record(levels);
    }
    return state;
}

void TLineTrace::Record(const TLevels &levels)
{
    bool stamped = false;
    for (std::size_t signal = 0; signal < SignalCount; ++signal) {
        if (levels[signal] == Shown[signal] || !levels[signal])
            continue;
        if (!stamped)
            Stamp();
        stamped = true;
        Buffer += *levels[signal] ? '1' : '0';
        Buffer += Codes[signal];
        Buffer += '\n';
    }
    Shown = levels;
    if (Buffer.size() >= FlushAt)
        Flush();
}

// A decoder needs MOSI to change before the SCK edge that samples it, so changes that fall into the
// same microsecond are pushed apart rather than merged.
void TLineTrace::Stamp()
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - Start).count();
    LastStamp = std::max<std::int64_t>(elapsed, LastStamp + 1);
    Buffer += '#';
    Buffer += std::to_string(LastStamp);
    Buffer += '\n';
}

void TLineTrace::Flush()
{
    if (!File || Buffer.empty())
        return;
    if (Error.empty() && (std::fwrite(Buffer.data(), 1, Buffer.size(), File) != Buffer.size() ||
                          std::fflush(File) != 0))
        Error = "Cannot write the line trace " + Path + ": " + std::strerror(errno);
    Buffer.clear();
}
