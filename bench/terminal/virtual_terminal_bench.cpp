// Prints how fast a program's serial output reaches the terminal window on the virtual chip: the
// window polls the port as in the program, the port's data path is the program running in s51, and
// the program sends without pause at 9600 and at 115200 baud. Characters per second, and that as a
// share of what the line carries (10 bits a character).
#include "app/port_kinds.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "prog/port_session.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "sim/child_process.h"
#include "sim/s51_target.h"
#include "sim/virtual_target.h"
#include "streamer_program.h"
#include "terminal/console.h"
#include "terminal/console_cells.h"
#include "terminal/debug_form.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MeasuredMs = 4000;

// What the console has taken: the streamer sends no line break, so every row before the cursor's is full.
long long Shown(const TConsole &console)
{
    const TConsoleCells &cells = console.Cells();
    return static_cast<long long>(cells.CursorRow()) * console.Cols() + cells.CursorCol();
}

void Measure(int baud, int baudIndex)
{
    TSettings settings;
    settings.PortName = "sim";
    settings.Device = 3;
    settings.Baudrate = baudIndex;
    T_QCCom32 com;
    com.SetShowErrors(false);
    com.SetBaud(baud);
    const TPortKinds kinds = StandardPortKinds();
    TPortSession session(com, settings, kinds);
    std::string error;
    if (session.Open({}, error) != TOpenResult::Ok) {
        std::printf("  cannot open the virtual chip: %s\n", error.c_str());
        return;
    }
    TProgStatus status;
    TDebugForm form(com, settings, status);
    form.show();
    session.Virtual()->Chip().SetContents(StreamerProgram(baud, TS51Target::DefaultCrystalHz));
    TIspLink(session.Lines(), settings).PulseReset();
    // From the first character on, after s51 has started.
    QDeadlineTimer started(20000);
    while (Shown(*form.Console1) == 0 && !started.hasExpired())
        QTest::qWait(5);
    const long long before = Shown(*form.Console1);
    const auto start = std::chrono::steady_clock::now();
    QTest::qWait(MeasuredMs);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double perSecond = static_cast<double>(Shown(*form.Console1) - before) / seconds;
    std::printf("  %6d baud: %8.0f characters/s in the window, %.3f of the line's %d/s\n", baud, perSecond,
                perSecond / (baud / 10.0), baud / 10);
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (TChildProcess::FindOnPath("s51").empty()) {
        std::printf("%s\n", S51MissingText);
        return 0;
    }
    std::printf("A program sending without pause to the terminal window on the virtual chip, %.4f MHz crystal:\n",
                TS51Target::DefaultCrystalHz / 1e6);
    Measure(9600, 5);
    Measure(115200, 9);
}
