#include "link/line_trace.h"
#include "link/wiring.h"
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t FlushAt = 64 * 1024;
constexpr char Codes[] = {'r', 'c', 'o', 'i'};
// Event values besides 0 and 1: a MISO sample still on its way, a sample of another line on its
// way, and nothing to write.
constexpr std::int8_t Pending = -1;
constexpr std::int8_t PendingOther = -2;
constexpr std::int8_t NoLevel = 2;

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

std::optional<bool> PinLevel(const std::array<std::optional<bool>, 3> &outputs, const TWire &wire)
{
    if (!wire.IsOutput() || !outputs[static_cast<std::size_t>(wire.Line)])
        return std::nullopt;
    return wire.LineLevel(*outputs[static_cast<std::size_t>(wire.Line)]);
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
    // A sample never taken has no level to show; the changes after it are still written.
    for (TEvent &event : Events)
        event.Value = event.Value < 0 ? NoLevel : event.Value;
    Emit();
    WriteFile();
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
    const TWiring wiring = TWiring::From(Cfg);
    levels[Rst] = PinLevel(Outputs, wiring.Reset);
    levels[Sck] = PinLevel(Outputs, wiring.Scl);
    levels[Mosi] = PinLevel(Outputs, wiring.Mosi);
    Record(levels);
}

bool TLineTrace::Sampled(int index, bool state)
{
    if (const TWire miso = TWiring::From(Cfg).Miso; miso.Line == index)
        Events.push_back({Stamp(), Miso, static_cast<std::int8_t>(miso.LineLevel(state))});
    Emit();
    return state;
}

void TLineTrace::QueueSample(int line)
{
    Inner.QueueSample(line);
    Samples.push_back(FirstEvent + Events.size());
    Events.push_back({Stamp(), Miso, line == TWiring::From(Cfg).Miso.Line ? Pending : PendingOther});
}

bool TLineTrace::TakeSample()
{
    const bool state = Inner.TakeSample();
    if (!Samples.empty()) {
        TEvent &event = Events[static_cast<std::size_t>(Samples.front() - FirstEvent)];
        Samples.pop_front();
        // Only the line that carries MISO is a MISO sample; the others leave no mark.
        event.Value =
            event.Value == PendingOther ? NoLevel : static_cast<std::int8_t>(TWiring::From(Cfg).Miso.LineLevel(state));
    }
    Emit();
    return state;
}

void TLineTrace::Record(const TLevels &levels)
{
    std::optional<std::int64_t> stamp;
    for (std::size_t signal = 0; signal < SignalCount; ++signal) {
        if (levels[signal] == Shown[signal] || !levels[signal])
            continue;
        if (!stamp)
            stamp = Stamp();
        Events.push_back({*stamp, static_cast<TSignal>(signal), static_cast<std::int8_t>(*levels[signal])});
    }
    Shown = levels;
    Emit();
}

// A decoder needs MOSI to change before the SCK edge that samples it, so changes that fall into the
// same microsecond are pushed apart rather than merged.
std::int64_t TLineTrace::Stamp()
{
    const std::int64_t elapsed =
        Clock ? Clock()
              : std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - Start)
                    .count();
    LastStamp = std::max<std::int64_t>(elapsed, LastStamp + 1);
    return LastStamp;
}

// Writes the events in order up to the first sample still on its way; a sample that repeats the
// level already written adds nothing.
void TLineTrace::Emit()
{
    while (!Events.empty() && Events.front().Value >= 0) {
        const TEvent event = Events.front();
        Events.pop_front();
        ++FirstEvent;
        const bool level = event.Value == 1;
        if (event.Value == NoLevel || (event.Signal == Miso && WrittenMiso == level))
            continue;
        if (event.Signal == Miso)
            WrittenMiso = level;
        if (event.Stamp != WrittenStamp) {
            Buffer += '#';
            Buffer += std::to_string(event.Stamp);
            Buffer += '\n';
            WrittenStamp = event.Stamp;
        }
        Buffer += level ? '1' : '0';
        Buffer += Codes[event.Signal];
        Buffer += '\n';
    }
    if (Buffer.size() >= FlushAt)
        WriteFile();
}

void TLineTrace::Flush()
{
    Inner.Flush();
    Emit();
    WriteFile();
}

void TLineTrace::WriteFile()
{
    if (!File || Buffer.empty())
        return;
    if (Error.empty() && (std::fwrite(Buffer.data(), 1, Buffer.size(), File) != Buffer.size() ||
                          std::fflush(File) != 0))
        Error = "Cannot write the line trace " + Path + ": " + std::strerror(errno);
    Buffer.clear();
}
