// Prints how close whole operations on the virtual chip come to the waits they must make, and how
// many line requests each byte costs.
#include "buffer/memory_buffer.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "quiet_ui.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <chrono>
#include <cstdio>

namespace {

struct TBench {
    TSettings Settings;
    TVirtualTarget Target{Settings};
    TMemoryBuffer Memory;
    TProgStatus Status;
    TQuietUi Ui;

    TBench()
    {
        Settings.WriteDelay = 0.05;
        Settings.ResetDelay1 = Settings.ResetDelay2 = 1.0;
        Target.Chip().SetWriteCycle(std::chrono::microseconds(40));
        Memory.WholeDevice = true;
        for (std::size_t i = 0; i < BufferSize; ++i)
            Memory.Buffer[i] = static_cast<std::uint8_t>(i * 13);
    }

    void Measure(const char *name, TOperationCode code, int writes)
    {
        TProgContext context{Status, Memory, Settings, Target.Lines(), Ui, nullptr, nullptr};
        const auto requestsBefore = Target.Chip().Counters().LineRequests;
        TProgRunner runner(context);
        runner.StartOperation(code);
        runner.WaitForEnd();
        const double bytes = 8192;
        // StartProgramming, the presence test (three writes, 40 ms of sleeps and a read of 8 bits that
        // wait 10 ms each), the loop's writes and the operation's own EndProgramming.
        const double waitsMs = Settings.ResetDelay1 + 3 * Settings.WriteDelay + 40 + 80 +
                               writes * Settings.WriteDelay + Settings.ResetDelay1 + Settings.ResetDelay2;
        const double requests = static_cast<double>(Target.Chip().Counters().LineRequests - requestsBefore);
        std::printf("%-14s %7.3f s, %7.1f ms of waits: ratio %5.2f; %5.1f line requests per byte\n", name,
                    Status.ElapsedSeconds.load(), waitsMs, Status.ElapsedSeconds * 1000.0 / waitsMs, requests / bytes);
    }
};

} // namespace

int main()
{
    TBench bench;
    std::printf("8 KiB on the virtual AT89S8252 (write delay %.2f ms):\n", bench.Settings.WriteDelay);
    bench.Measure("opWriteCode", opWriteCode, 8192);
    bench.Measure("opReadCode", opReadCode, 0);
    bench.Measure("opVerifyCode", opVerifyCode, 0);
}
