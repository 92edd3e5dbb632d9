// Prints what one instruction costs on the line interface and how exact the busy-wait delay is.
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/line_interface.h"
#include "link/precise_delay.h"
#include "settings/settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

class TCountingLines : public TImmediateLines {
public:
    long Requests = 0;
    void SetBreak(bool) override { ++Requests; }
    void SetRts(bool) override { ++Requests; }
    void SetDtr(bool) override { ++Requests; }
    bool GetCTS() override { return ++Requests, false; }
    bool GetDSR() override { return ++Requests, false; }
    bool GetRLSD() override { return ++Requests, false; }
    bool GetRI() override { return ++Requests, false; }
};

void NoWait(double) {}

void LineRequestsPerInstruction()
{
    TSettings settings;
    TCountingLines lines;
    TIspLink link(lines, settings, &NoWait);
    TDeviceCommands device(link);
    auto count = [&](const char *name, auto instruction) {
        lines.Requests = 0;
        instruction();
        std::printf("  %-24s %4ld line requests\n", name, lines.Requests);
    };
    std::printf("Line requests per instruction (3 per bit sent, 1 + 3 per bit received):\n");
    count("WriteCodeByte", [&] { device.WriteCodeByte(0x1234, 0x55); });
    count("ReadCodeByte", [&] { device.ReadCodeByte(0x1234); });
    count("WriteDataByte", [&] { device.WriteDataByte(0x123, 0x55); });
    count("ProgrammingEnable", [&] { device.ProgrammingEnable(); });
}

void LinkCostPerLineRequest()
{
    TSettings settings;
    TCountingLines lines;
    TIspLink link(lines, settings, &PreciseDelay);
    const int bytes = 200000;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < bytes; ++i)
        link.SendByte(static_cast<std::uint8_t>(i));
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    std::printf("Link cost over a driver that does nothing: %.1f ns per line request (%ld requests)\n",
                ns / static_cast<double>(lines.Requests), lines.Requests);
}

void DelayError(double ms)
{
    const int runs = ms >= 1.0 ? 50 : 500;
    std::vector<double> errors;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        PreciseDelay(ms);
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        errors.push_back((took - ms) * 1000.0);
    }
    std::sort(errors.begin(), errors.end());
    std::printf("  %8.4f ms: error min %8.2f us, median %8.2f us, max %8.2f us\n", ms, errors.front(),
                errors[errors.size() / 2], errors.back());
}

} // namespace

int main()
{
    LineRequestsPerInstruction();
    LinkCostPerLineRequest();
    std::printf("PreciseDelay error against the request (overhead %.0f ns):\n", SystemDelay().DelayOverhead());
    for (double ms : {0.0005, 0.01, 0.1, 1.0, 3.0})
        DelayError(ms);
}
