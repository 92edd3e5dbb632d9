#include "prog/port_session.h"

#include "link/qc_com32.h"
#include "settings/settings.h"
#include "sim/line_trace.h"
#include "sim/virtual_target.h"

#include <cerrno>
#include <cstring>

// Every front end shows this text as it is (tooltip, message box, korvel-cli's error line), so the
// advice for the commonest failure is given here once.
std::string PortOpenError(const std::string &device, int reason)
{
    std::string error = "cannot open serial port " + device;
    if (reason != 0)
        error += ": " + std::string(std::strerror(reason));
    if (reason == EACCES)
        error += " (serial ports belong to the group dialout: sudo adduser $USER dialout, then log in again)";
    return error;
}

TPortSession::TPortSession(T_QCCom32 &port, const TSettings &settings) : Port(port), Settings(settings)
{
}

TPortSession::~TPortSession()
{
    Trace.reset();
    DropTarget();
}

void TPortSession::DropTarget()
{
    if (!Target)
        return;
    Port.AttachVirtual(nullptr);
    Target.reset();
}

// A session opened again keeps its virtual chip while it still fits the settings, so that nothing
// programmed is lost, and keeps recording into the same trace file.
TOpenResult TPortSession::Open(const std::string &simImage, std::string &error)
{
    Port.SetPort(Settings.Port);
    Port.SetPortName(Settings.PortName);
    if (Settings.PortName == T_QCCom32::VirtualPortName) {
        if (const TOpenResult result = OpenTarget(simImage, error); result != TOpenResult::Ok)
            return result;
    } else {
        DropTarget();
    }
    errno = 0;
    if (!Port.Open()) {
        error = PortOpenError(Port.DeviceName(), errno);
        return TOpenResult::PortError;
    }
    return OpenTrace(error);
}

TOpenResult TPortSession::OpenTarget(const std::string &simImage, std::string &error)
{
    const bool fits = Target && TargetImage == simImage && Target->Chip().Kind() == ChipKindForDevice(Settings.Device);
    if (!fits) {
        DropTarget(); // saves the chip, so that a new one of the same image starts from it
        try {
            Target = std::make_unique<TVirtualTarget>(Settings, simImage);
            TargetImage = simImage;
        } catch (const std::exception &e) {
            error = e.what();
            return TOpenResult::FileError;
        }
    }
    Port.AttachVirtual(&Target->Lines());
    return TOpenResult::Ok;
}

TOpenResult TPortSession::OpenTrace(std::string &error)
{
    if (Settings.PortTrace.empty()) {
        Trace.reset();
        return TOpenResult::Ok;
    }
    if (Trace && TracePath == Settings.PortTrace)
        return TOpenResult::Ok;
    Trace.reset();
    try {
        Trace = std::make_unique<TLineTrace>(Port, Settings, Settings.PortTrace);
        TracePath = Settings.PortTrace;
    } catch (const std::exception &e) {
        error = e.what();
        return TOpenResult::FileError;
    }
    return TOpenResult::Ok;
}

std::string TPortSession::Flush()
{
    std::string problems;
    if (Trace) {
        Trace->Flush();
        problems = Trace->WriteError();
    }
    if (Target) {
        try {
            Target->Chip().Save();
        } catch (const std::exception &e) {
            problems += (problems.empty() ? "" : "; ") + std::string(e.what());
        }
    }
    return problems;
}

TLineInterface &TPortSession::Lines()
{
    if (Trace)
        return *Trace;
    return Port;
}

void TPortSession::Drain()
{
    Port.DiscardInput();
}
