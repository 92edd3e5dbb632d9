#include "prog/cable_report.h"

#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/settle_lines.h"
#include "link/settle_probe.h"
#include "link/tty_driver.h"
#include "prog/port_session.h"
#include "settings/settings.h"

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <vector>

namespace {

// "0.8", "5", "12.5"
std::string Ms(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", ms);
    return text;
}

std::string Duration(double seconds)
{
    char text[32];
    if (seconds < 100)
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 6000)
        std::snprintf(text, sizeof text, "%.1f min", seconds / 60);
    else
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
    return text;
}

std::string Joined(const std::vector<std::string> &parts, const char *separator)
{
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

} // namespace

std::string SettleVerdict(double inUseMs, double recommendedMs)
{
    const std::string inUse = inUseMs > 0 ? "The " + Ms(inUseMs) + " ms in use is " : "Reading at once is ";
    const std::string recommended = recommendedMs > 0 ? Ms(recommendedMs) + " ms" : "reading at once";
    if (inUseMs < recommendedMs)
        return inUse + "too short: use " + recommended;
    if (inUseMs > recommendedMs)
        return inUse + "enough; " + recommended + " would do as well, and faster";
    return inUse + "right";
}

TCableReport::TCableReport(TPortSession &session, const TSettings &settings, std::ostream &out, bool quiet)
    : Session(session), Settings(settings), Out(out), Quiet(quiet)
{
}

bool TCableReport::Described() const
{
    return !Quiet && !Session.Driver().Name.empty();
}

// The target is held in reset meanwhile, as the toggling of the outputs held it.
TSckRate TCableReport::MeasureSck()
{
    TIspLink link(Session.Lines(), Settings);
    TDeviceCommands device(link, nullptr, [this] { return Session.LineTimeMs(); });
    link.StartProgramming();
    device.ProgrammingEnable();
    link.IdleLines();
    return {device.SentBitMs(), Settings.ClockDelay};
}

void TCableReport::ShowBreak()
{
    if (!Described() || Session.Driver().Driver != "ch341-uart")
        return;
    const double ms = Session.MeasureBreak();
    Out << "Break: TXD in break and out again in " << Ms(ms) << " ms"
        << (Session.BreakImitated() ? ": the break is imitated, TXD cannot serve the adapter" : "") << '\n';
}

void TCableReport::DescribePort()
{
    if (!Quiet)
        for (const std::string &line : Session.CableDescription())
            Out << line << '\n';
    if (!Described())
        return;
    const TTtyDriver &tty = Session.Driver();
    const std::string label = Session.PortLabel();
    const bool named = std::filesystem::path(label).filename() == tty.Name;
    Out << "Port " << label << ": " << (named ? "" : tty.Name + ", ") << TtyDriverText(tty) << '\n';
    const double settle = Session.SettleMs();
    const double asked = Settings.PortSettle ? *Settings.PortSettle : Session.DriverSettle();
    const std::string driver = tty.Driver.empty() ? "the driver" : tty.Driver;
    std::string reason = driver + " reports line changes late; lines measures this cable";
    if (Settings.PortSettle)
        reason = "PortSettle";
    else if (UncappedSettleMs(tty) > Session.DriverSettle())
        reason = driver + " reports line changes late, at a polling interval of " + Ms(tty.PollMs) + " ms; at most " +
                 Ms(MaxDriverSettleMs) + " ms is waited: lines measures what this cable needs";
    if (settle > 0)
        Out << "Inputs settle " << Ms(settle) << " ms after each output change before they are read (" << reason
            << (settle > asked ? ", no shorter than the clock delay" : "") << ")\n";
    else if (Session.DriverSettle() > 0)
        Out << driver << " reports line changes late, but PortSettle=0 reads them at once: MISO may show the "
            << "bit before\n";
}

void TCableReport::DescribeCost(double requestMs)
{
    const TTtyDriver &tty = Session.Driver();
    if (tty.Kind == TTtyKind::Usb) {
        const TTransferTime time = EstimateTransfer(8192, requestMs, Session.SettleMs(), Settings);
        Out << "An 8 KiB write takes about " << Duration(time.WriteSeconds) << " on this cable ("
            << WriteRequestsPerByte(Settings.Device) << " line requests of " << Ms(requestMs)
            << " ms and a write wait of " << Ms(CodeWriteWaitMs(Settings)) << " ms per byte), its verify "
            << "about " << Duration(time.ReadSeconds) << '\n';
    }
    if (const std::string direct = Session.DirectPortName(); !direct.empty())
        Out << "This cable's FTDI chip also works directly, many times faster: PortName=" << direct
            << " in [SerialPort], or korvel-cli --port " << direct << '\n';
}

double TCableReport::MeasureInputs()
{
    const double reference = ReferenceSettleMs(Session.SettleMs());
    const TSettleMeasurement m =
        MeasureSettle(Session.Lines(), *Session.Settle(), Settings, reference, Session.ReportIntervalMs());
    std::ostringstream bytes;
    for (const std::uint8_t b : m.Reference)
        bytes << (bytes.tellp() > 0 ? " " : "") << std::uppercase << std::hex << std::setw(2) << std::setfill('0')
              << static_cast<int>(b);
    const std::string silent = Session.SilentInputNote();
    switch (m.Result) {
    case TSettleMeasurement::TResult::Measured:
        Out << "Settle: MISO read right "
            << (m.ShortestMs > 0 ? Ms(m.ShortestMs) + " ms" : "at once") << " after the change that moves it"
            << (m.FailedMs ? ", not after " + Ms(*m.FailedMs) + " ms" : "") << " (code bytes " << bytes.str() << ")\n"
            << SettleVerdict(Session.SettleMs(), m.RecommendedMs) << " (PortSettle=" << Ms(m.RecommendedMs)
            << " in [SerialPort], or korvel-cli --settle " << Ms(m.RecommendedMs) << ")\n";
        break;
    case TSettleMeasurement::TResult::NoChanges:
        Out << "Settle: not measured: the first code bytes read " << bytes.str() << ", no bit differing from the "
            << "one before: "
            << (silent.empty() ? "no chip answered (try detect), or its memory is erased there; program something and "
                                 "measure again"
                               : silent)
            << '\n';
        break;
    case TSettleMeasurement::TResult::Unstable:
        Out << "Settle: not measured: the first code bytes read " << Ms(reference) << " ms and " << Ms(2 * reference)
            << " ms after each output change disagreed: the cable reports even later (a longer --settle "
            << "lengthens these reads too), or the wiring is loose\n";
        break;
    }
    return m.RequestMs;
}

// A user of a slow cable is not left guessing: an 8 KiB read on a late cable takes minutes.
void TCableReport::Forecast(int writes, int reads, bool upTo)
{
    if (!Described())
        return;
    const TTransferTime perByte = EstimateTransfer(1, Session.MeasureRequestMs(), Session.SettleMs(), Settings);
    const double seconds = writes * perByte.WriteSeconds + reads * perByte.ReadSeconds;
    if (seconds <= 60)
        return;
    std::vector<std::string> parts;
    if (writes > 0)
        parts.push_back(std::to_string(writes) + " bytes written at " + Ms(perByte.WriteSeconds * 1000) + " ms each");
    if (reads > 0)
        parts.push_back(std::to_string(reads) + " bytes read at " + Ms(perByte.ReadSeconds * 1000) + " ms each");
    Out << "This takes about " << (upTo ? "up to " : "") << Duration(seconds) << " on this port ("
        << Joined(parts, ", ") << ")\n"
        << std::flush;
}
