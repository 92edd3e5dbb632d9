#include "ftdi/ftdi_port_kind.h"

#include "ftdi/ftdi_names.h"
#include "ftdi/ftdi_port.h"
#include "ftdi/libftdi_driver.h"

TFtdiCable::TFtdiCable(std::unique_ptr<TFtdiDriver> driver, const std::string &name, const TSettings &settings)
    : Port(std::make_unique<TFtdiPort>(std::move(driver), name, settings)), Name(name)
{
}

TFtdiCable::~TFtdiCable() = default;

TPortBackEnd *TFtdiCable::BackEnd() { return Port.get(); }

// The ISP link drives the chip in bit-bang mode, which samples its pins in step with the waveform.
TLineInterface *TFtdiCable::OwnLines() { return &Port->BitBang(); }

std::string TFtdiCable::OpenError(const std::string &, int) const
{
    return "cannot open FTDI device " + Name + ": " + Port->OpenError();
}

std::string TFtdiCable::LostReason(const std::string &) const { return Port->LostReason(); }

// The waveform's own timing, not the moments the program queued it.
std::function<std::int64_t()> TFtdiCable::LineClock()
{
    TFtdiPort *port = Port.get();
    return [port] { return port->WaveformMicroseconds(); };
}

std::vector<std::string> TFtdiCable::Describe() const { return {FtdiRateLine(Port->Rate())}; }

bool TFtdiPortKind::Matches(const std::string &name) const { return IsFtdiPortName(name); }

TCableOpening TFtdiPortKind::Open(const TCableRequest &request) const
{
    std::unique_ptr<TFtdiDriver> driver = request.FtdiDrivers ? request.FtdiDrivers() : CreateLibFtdiDriver();
    TCableOpening opening;
    opening.Cable = std::make_unique<TFtdiCable>(std::move(driver), request.Name, *request.Settings);
    return opening;
}

std::string TFtdiPortKind::DirectName(const TTtyDriver &tty) const { return FtdiPortStringFor(tty); }

std::vector<std::string> TFtdiPortKind::List() const
{
    std::vector<std::string> lines;
    for (const TFtdiDeviceInfo &device : CreateLibFtdiDriver()->Devices())
        lines.push_back(FtdiDeviceLine(device));
    return lines;
}
