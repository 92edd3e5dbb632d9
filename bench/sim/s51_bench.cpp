// Prints how fast a program's serial output comes through the virtual chip running in s51: a program
// that sends the alphabet without pause, with timer 2 at 9600 and at 115200 baud, as characters per
// second, as a share of what the line carries (10 bits a character), and what s51 costs the host.
#include "sim/child_process.h"
#include "sim/s51_target.h"
#include "streamer_program.h"

#include <chrono>
#include <cstdio>
#include <string>

#include <sys/resource.h>

namespace {

using TClock = std::chrono::steady_clock;

constexpr double Crystal = TS51Target::DefaultCrystalHz;
constexpr auto Measured = std::chrono::seconds(3);

double CpuSecondsOfChildren()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Stream(int baud)
{
    TS51Target target;
    const double cpuBefore = CpuSecondsOfChildren();
    if (!target.Start(StreamerProgram(baud, Crystal), Crystal)) {
        std::printf("  cannot start: %s\n", target.Problem().c_str());
        return;
    }
    target.WaitForOutput(std::chrono::seconds(10));
    target.ReadQueued();
    const double simulatedAtStart = target.SimulatedSeconds();
    const TClock::time_point start = TClock::now();
    std::size_t characters = 0;
    while (TClock::now() - start < Measured) {
        target.WaitForOutput(std::chrono::milliseconds(50));
        characters += target.ReadQueued().size();
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    const double simulated = target.SimulatedSeconds() - simulatedAtStart;
    target.Stop();
    const double perSecond = static_cast<double>(characters) / seconds;
    std::printf("  %6d baud: %8.0f characters/s, %.3f of the line's %d/s; %.3f s of the program's time a second;"
                " s51 used %.0f %% of a core\n",
                baud, perSecond, perSecond / (baud / 10.0), baud / 10, simulated / seconds,
                100.0 * (CpuSecondsOfChildren() - cpuBefore) / seconds);
}

} // namespace

int main()
{
    if (TChildProcess::FindOnPath("s51").empty()) {
        std::printf("%s\n", S51MissingText);
        return 0;
    }
    std::printf("A program sending without pause through the virtual chip, %.4f MHz crystal:\n", Crystal / 1e6);
    for (int baud : {9600, 115200})
        Stream(baud);
}
