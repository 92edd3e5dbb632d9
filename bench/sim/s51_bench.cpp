// Prints how fast a program's serial output comes through the virtual chip running in s51: a program
// that sends the alphabet without pause, with timer 2 at 9600 and at 115200 baud, as characters per
// second, as a share of what the line carries (10 bits a character), and what s51 costs the host.
#include "sim/child_process.h"
#include "sim/s51_target.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

using TClock = std::chrono::steady_clock;

constexpr double Crystal = TS51Target::DefaultCrystalHz;
constexpr auto Measured = std::chrono::seconds(3);

// SCON mode 1; timer 2 clocks the UART from RCAP2; then 'A' to 'Z' over and over.
TSimImage Streamer(int baud)
{
    const int reload = 65536 - static_cast<int>(Crystal / (32.0 * baud) + 0.5);
    const auto high = static_cast<std::uint8_t>(reload >> 8), low = static_cast<std::uint8_t>(reload);
    const std::vector<std::uint8_t> code = {
        0x75, 0x98, 0x50, // MOV SCON,#50h
        0x75, 0xCB, high, // MOV RCAP2H,#high
        0x75, 0xCA, low,  // MOV RCAP2L,#low
        0x75, 0xCD, high, // MOV TH2,#high
        0x75, 0xCC, low,  // MOV TL2,#low
        0x75, 0xC8, 0x34, // MOV T2CON,#34h     RCLK, TCLK, TR2
        0x74, 0x41,       // MOV A,#'A'
        0xF5, 0x99,       // 0014 MOV SBUF,A
        0x30, 0x99, 0xFD, //      JNB TI,$
        0xC2, 0x99,       //      CLR TI
        0x04,             //      INC A
        0xB4, 0x5B, 0xF5, //      CJNE A,#'Z'+1,0014h
        0x74, 0x41,       //      MOV A,#'A'
        0x80, 0xF1,       //      SJMP 0014h
    };
    TSimImage chip = TSimImage::Erased(TChipKind::AT89S52);
    std::copy(code.begin(), code.end(), chip.Code.begin());
    return chip;
}

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
    if (!target.Start(Streamer(baud), Crystal)) {
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
