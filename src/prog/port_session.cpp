#include "prog/port_session.h"

#include "link/qc_com32.h"
#include "settings/settings.h"
#include "sim/line_trace.h"
#include "sim/virtual_target.h"

#include <cerrno>
#include <cstring>

TPortSession::TPortSession(T_QCCom32 &port, const TSettings &settings) : Port(port), Settings(settings)
{
}

TPortSession::~TPortSession()
{
    Trace.reset();
    if (Target) {
        Port.AttachVirtual(nullptr);
        Target.reset();
    }
}

TOpenResult TPortSession::Open(const std::string &simImage, std::string &error)
{
    Port.SetPort(Settings.Port);
    Port.SetPortName(Settings.PortName);
    if (Settings.PortName == T_QCCom32::VirtualPortName) {
        try {
            Target = std::make_unique<TVirtualTarget>(Settings, simImage);
        } catch (const std::exception &e) {
            error = e.what();
            return TOpenResult::FileError;
        }
        Port.AttachVirtual(&Target->Lines());
    }
    errno = 0;
    if (!Port.Open()) {
        const int reason = errno;
        error = "cannot open serial port " + Port.DeviceName() + (reason ? ": " + std::string(std::strerror(reason)) : "");
        return TOpenResult::PortError;
    }
    if (!Settings.PortTrace.empty()) {
        try {
            Trace = std::make_unique<TLineTrace>(Port, Settings, Settings.PortTrace);
        } catch (const std::exception &e) {
            error = e.what();
            return TOpenResult::FileError;
        }
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
    std::string received;
    Port.Read(received);
}
