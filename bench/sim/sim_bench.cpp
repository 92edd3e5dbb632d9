// Prints what a line request costs on the virtual target, bare and with the line trace recording.
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "settings/settings.h"
#include "link/line_trace.h"
#include "sim/virtual_target.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

void NoWait(double) {}
void NoSleep(int) {}

double NanosecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

// Reads and writes code bytes with no waits at all, so that only the line requests cost time.
void Exercise(TLineInterface &lines, const TSettings &settings, int instructions)
{
    TIspLink link(lines, settings, &NoWait);
    TDeviceCommands device(link, &NoSleep);
    link.StartProgramming();
    device.ProgrammingEnable();
    for (int i = 0; i < instructions; ++i) {
        const auto address = static_cast<std::uint16_t>(i & 0x1FFF);
        if (i % 2)
            device.ReadCodeByte(address);
        else
            device.WriteCodeByte(address, static_cast<std::uint8_t>(i));
    }
    link.EndProgramming();
}

void CostPerLineRequest(const char *what, bool traced)
{
    TSettings settings;
    settings.ResetDelay1 = settings.ResetDelay2 = 0.0;
    TVirtualTarget target(settings);
    target.Chip().SetWriteCycle(std::chrono::microseconds(0));
    const std::string path = (std::filesystem::temp_directory_path() / "korvel_bench_trace.vcd").string();
    const int instructions = traced ? 20000 : 200000;
    const auto start = std::chrono::steady_clock::now();
    if (traced) {
        TLineTrace trace(target.Lines(), settings, path);
        Exercise(trace, settings, instructions);
    } else {
        Exercise(target.Lines(), settings, instructions);
    }
    const double ns = NanosecondsSince(start);
    const TSimCounters &counters = target.Chip().Counters();
    std::printf("  %-28s %7.1f ns per line request (%llu requests, %llu instructions decoded)\n", what,
                ns / static_cast<double>(counters.LineRequests),
                static_cast<unsigned long long>(counters.LineRequests),
                static_cast<unsigned long long>(counters.DecodedOf(TInstruction::ReadCode) +
                                                counters.DecodedOf(TInstruction::WriteCode)));
    if (traced) {
        std::printf("  %-28s %7.1f bytes of VCD per line request\n", "",
                    static_cast<double>(std::filesystem::file_size(path)) /
                        static_cast<double>(counters.LineRequests));
        std::filesystem::remove(path);
    }
}

} // namespace

int main()
{
    std::printf("Virtual target (adapter and chip) with no waits:\n");
    CostPerLineRequest("bare", false);
    CostPerLineRequest("through the VCD line trace", true);
}
