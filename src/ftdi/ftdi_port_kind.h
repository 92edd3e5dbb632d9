// The FTDI cables driven directly, as a row of the port kinds: "ftdi", "ftdi-ttl", "ftdi:STRING@A"
// (see TFtdiName). The simulated FTDI cable builds its cable on TFtdiCable too.
#pragma once
#include "link/port_kind.h"

#include <memory>
#include <string>

class TFtdiDriver;
class TFtdiPort;

// A USB cable's own FTDI chip behind the serial port: the chip's UART serves the terminal, its
// synchronous bit-bang mode the link.
class TFtdiCable : public TCable {
public:
    TFtdiCable(std::unique_ptr<TFtdiDriver> driver, const std::string &name, const TSettings &settings);
    ~TFtdiCable() override;

    TPortBackEnd *BackEnd() override;
    std::string DeviceName(const TCableRequest &request) const override { return request.Name; }
    TLineInterface *OwnLines() override;
    std::optional<TTtyDriver> KnownDriver() const override { return TTtyDriver{}; }
    std::string OpenError(const std::string &device, int reason) const override;
    std::string LostReason(const std::string &device) const override;
    std::function<std::int64_t()> LineClock() override;
    std::vector<std::string> Describe() const override;
    bool Serves(const TCableRequest &request) const override { return request.Name == Name; }

private:
    std::unique_ptr<TFtdiPort> Port;
    std::string Name;
};

class TFtdiPortKind final : public TPortKind {
public:
    std::string Name() const override { return "ftdi"; }
    bool Matches(const std::string &name) const override;
    TCableOpening Open(const TCableRequest &request) const override;
    // One line per FTDI device libftdi finds.
    std::vector<std::string> List() const override;
    // The name that drives the FTDI chip behind a ftdi_sio terminal device directly.
    std::string DirectName(const TTtyDriver &tty) const override;
};
