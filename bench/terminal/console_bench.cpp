// How fast text goes into a shown console through PutChar, and how often that paints. The terminal
// writes whatever arrived in one timer tick and then returns to the event loop; the benchmark does
// the same every 4 KiB.
#include "paint_counter.h"
#include "terminal/console.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>

namespace {

std::string SampleText(std::size_t size)
{
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "READY> 10 PRINT \"line " + std::to_string(line) + "\" : REM some more words\r\n";
    text.resize(size);
    return text;
}

void PutCharIntoShownConsole(benchmark::State &state)
{
    TConsole console;
    console.SetCols(120);
    console.SetRows(5000);
    console.SetOptions(console.Options() | coLazyWrite);
    console.resize(900, 500);
    console.show();
    QApplication::processEvents();
    TPaintCounter counter;
    console.viewport()->installEventFilter(&counter);
    const std::string text = SampleText(std::size_t(1) << 20);
    constexpr std::size_t Tick = 4096;
    for (auto _ : state) {
        for (std::size_t start = 0; start < text.size(); start += Tick) {
            for (std::size_t i = start; i < start + Tick && i < text.size(); ++i)
                console.PutChar(text[i]);
            QApplication::processEvents();
        }
    }
    const double mebibytes = double(state.iterations()) * double(text.size()) / double(1 << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.counters["paints_per_MiB"] = double(counter.Paints) / mebibytes;
    state.counters["chars_per_paint"] = double(text.size()) * double(state.iterations()) /
                                        double(std::max(1L, counter.Paints));
}
BENCHMARK(PutCharIntoShownConsole)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
