#include "prog/port_session.h"

#include "ftdi/ftdi_port.h"
#include "ftdi/libftdi_driver.h"
#include "link/qc_com32.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
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
    DropFtdi();
    DropTarget();
}

void TPortSession::DropTarget()
{
    if (!Target)
        return;
    DropFtdi(); // a fake cable may have the chip behind it
    Port.AttachVirtual(nullptr);
    Target.reset();
}

void TPortSession::DropFtdi()
{
    if (!FtdiPort)
        return;
    if (TraceInner == &FtdiPort->BitBang())
        Trace.reset();
    Port.AttachBackEnd(nullptr);
    FtdiPort.reset();
    FtdiName.clear();
}

// A session opened again keeps its virtual chip while it still fits the settings, so that nothing
// programmed is lost, and keeps recording into the same trace file.
TOpenResult TPortSession::Open(const std::string &simImage, std::string &error)
{
    const std::string &name = Settings.PortName;
    const bool virtualFtdi = name == VirtualFtdiPortName;
    Port.SetPort(Settings.Port);
    Port.SetPortName(name);
    if (name == T_QCCom32::VirtualPortName || virtualFtdi) {
        if (const TOpenResult result = OpenTarget(simImage, error); result != TOpenResult::Ok)
            return result;
    } else {
        DropTarget();
    }
    Port.AttachVirtual(name == T_QCCom32::VirtualPortName ? &Target->Lines() : nullptr);
    if (virtualFtdi || IsFtdiPortName(name))
        AttachFtdi(name);
    else
        DropFtdi();
    LossReported = false;
    errno = 0;
    if (!Port.Open()) {
        if (FtdiPort)
            error = "cannot open FTDI device " + name + ": " + FtdiPort->OpenError();
        else
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
    return TOpenResult::Ok;
}

void TPortSession::AttachFtdi(const std::string &name)
{
    if (FtdiPort && FtdiName == name)
        return;
    DropFtdi();
    std::unique_ptr<TFtdiDriver> driver;
    if (name == VirtualFtdiPortName)
        driver = std::make_unique<TFtdiFake>(Target->Chip(), Settings);
    else
        driver = FtdiDrivers ? FtdiDrivers() : CreateLibFtdiDriver();
    FtdiPort = std::make_unique<TFtdiPort>(std::move(driver), name, Settings);
    FtdiName = name;
    Port.AttachBackEnd(FtdiPort.get());
}

// The ISP link drives a cable's chip in bit-bang mode; the port itself serves the terminal.
TLineInterface &TPortSession::Traced()
{
    if (FtdiPort)
        return FtdiPort->BitBang();
    return Port;
}

TOpenResult TPortSession::OpenTrace(std::string &error)
{
    if (Settings.PortTrace.empty()) {
        Trace.reset();
        return TOpenResult::Ok;
    }
    if (Trace && TracePath == Settings.PortTrace && TraceInner == &Traced())
        return TOpenResult::Ok;
    Trace.reset();
    try {
        Trace = std::make_unique<TLineTrace>(Traced(), Settings, Settings.PortTrace);
        TracePath = Settings.PortTrace;
        TraceInner = &Traced();
    } catch (const std::exception &e) {
        error = e.what();
        return TOpenResult::FileError;
    }
    // The waveform's own timing, not the moments the program queued it.
    if (TFtdiPort *ftdi = FtdiPort.get())
        Trace->SetClock([ftdi] { return ftdi->WaveformMicroseconds(); });
    return TOpenResult::Ok;
}

std::string TPortSession::TakeLostReason()
{
    if (LossReported || !Traced().PortLost())
        return {};
    LossReported = true;
    if (FtdiPort)
        return FtdiPort->LostReason();
    return "the serial port " + Port.DeviceName() + " vanished (unplugged?)";
}

std::string TPortSession::Flush()
{
    std::string problems = TakeLostReason();
    auto add = [&problems](const std::string &problem) {
        if (!problem.empty())
            problems += (problems.empty() ? "" : "; ") + problem;
    };
    if (Trace) {
        Trace->Flush();
        add(Trace->WriteError());
    }
    if (Target) {
        try {
            Target->Chip().Save();
        } catch (const std::exception &e) {
            add(e.what());
        }
    }
    return problems;
}

TLineInterface &TPortSession::Lines()
{
    if (Trace)
        return *Trace;
    return Traced();
}

void TPortSession::Drain()
{
    Port.DiscardInput();
}
