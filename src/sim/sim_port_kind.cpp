#include "sim/sim_port_kind.h"

#include "ftdi/ftdi_port_kind.h"
#include "link/lines_port.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/target_port.h"
#include "sim/virtual_target.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {

// Later than a direct read, earlier than the pl2303 driver's settle: without the settle every
// read of MISO shows the bit before.
constexpr std::chrono::microseconds SimulatedCableLag{3000};

enum class TVariant { Serial, Empty, LateCable, Ftdi };

struct TSimName {
    TVariant Variant;
    const char *Name;
    bool TakesImage;
};

constexpr TSimName SimNames[] = {
    {TVariant::Serial, VirtualPortName, true},
    {TVariant::Empty, "sim-empty", false},
    {TVariant::LateCable, "sim-pl2303", true},
    {TVariant::Ftdi, "sim-ftdi", true},
};

// The row's name and the image a name gives ("sim-ftdi:chip.sim"); nothing for a name of no row.
struct TParsed {
    const TSimName *Row = nullptr;
    std::optional<std::string> Image;
};

TParsed Parse(const std::string &name)
{
    for (const TSimName &row : SimNames) {
        const std::string prefix = std::string(row.Name) + ":";
        if (name == row.Name)
            return {&row, std::nullopt};
        if (row.TakesImage && name.rfind(prefix, 0) == 0)
            return {&row, name.size() > prefix.size() ? std::optional(name.substr(prefix.size())) : std::nullopt};
    }
    return {};
}

TTtyDriver SimulatedPl2303()
{
    TTtyDriver tty;
    tty.Kind = TTtyKind::Usb;
    tty.Name = "sim-pl2303";
    tty.Driver = "pl2303";
    tty.Vendor = 0x067b;
    tty.Product = 0x2303;
    tty.PollMs = 1;
    return tty;
}

// The virtual chip saves its image only at the end of the run, as a new file beside the old one; a
// folder that cannot take it would show only after the operation.
std::string ImageProblem(const std::string &path)
{
    std::string probe = path + ".XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return "Virtual chip image " + path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

class TSimCable final : public TCable {
public:
    TSimCable(const TSimName &row, std::string image, const TSettings &settings)
        : Row(row), Image(std::move(image)), Kind(ChipKindForDevice(settings.Device)),
          Target(std::make_unique<TVirtualTarget>(settings, Image))
    {
        if (Row.Variant == TVariant::Empty)
            Target->Chip().SetFault(TChipFault::NoChip);
        Target->Adapter().SetInputLag(Row.Variant == TVariant::LateCable ? SimulatedCableLag
                                                                         : std::chrono::microseconds{0});
        if (Row.Variant == TVariant::Ftdi) {
            auto fake = std::make_unique<TFtdiFake>(Target->Chip(), settings);
            fake->SetPeer(&Target->Uart());
            Ftdi = std::make_unique<TFtdiCable>(std::move(fake), Row.Name, settings);
        } else {
            Lines.SetLines(&Target->Lines());
        }
        Port = std::make_unique<TTargetPort>(Ftdi ? *Ftdi->BackEnd() : Lines, Target->Uart(), !Ftdi);
    }
    ~TSimCable() override
    {
        Port.reset();
        Ftdi.reset(); // the fake cable has the chip behind it
    }

    TPortBackEnd *BackEnd() override { return Port.get(); }
    std::string DeviceName(const TCableRequest &) const override { return Ftdi ? Row.Name : "sim"; }
    std::string Label(const TCableRequest &) const override { return Row.Name; }
    TLineInterface *OwnLines() override { return Ftdi ? Ftdi->OwnLines() : nullptr; }
    std::optional<TTtyDriver> KnownDriver() const override
    {
        if (Ftdi)
            return Ftdi->KnownDriver();
        if (Row.Variant == TVariant::LateCable)
            return SimulatedPl2303();
        return std::nullopt;
    }
    std::string OpenError(const std::string &device, int reason) const override
    {
        return Ftdi ? Ftdi->OpenError(device, reason) : TCable::OpenError(device, reason);
    }
    std::string LostReason(const std::string &device) const override
    {
        return Ftdi ? Ftdi->LostReason(device) : TCable::LostReason(device);
    }
    std::function<std::int64_t()> LineClock() override { return Ftdi ? Ftdi->LineClock() : nullptr; }
    std::string Persist() override
    {
        try {
            Target->Chip().Save();
        } catch (const std::exception &e) {
            return e.what();
        }
        return {};
    }
    std::string PersistProblem() const override { return Image.empty() ? std::string() : ImageProblem(Image); }
    std::vector<std::string> Describe() const override { return Ftdi ? Ftdi->Describe() : std::vector<std::string>{}; }
    // The same chip as long as the name, the image and the chip kind stay, so nothing programmed is lost.
    bool Serves(const TCableRequest &request) const override
    {
        const TParsed parsed = Parse(request.Name);
        return parsed.Row == &Row && parsed.Image.value_or(request.SimImage) == Image &&
               ChipKindForDevice(request.Settings->Device) == Kind;
    }
    TVirtualTarget *Virtual() override { return Target.get(); }

private:
    const TSimName &Row;
    std::string Image;
    TChipKind Kind;
    std::unique_ptr<TVirtualTarget> Target;
    TLinesPort Lines;
    std::unique_ptr<TFtdiCable> Ftdi;
    std::unique_ptr<TTargetPort> Port;
};

} // namespace

bool TSimPortKind::Matches(const std::string &name) const { return Parse(name).Row != nullptr; }

TCableOpening TSimPortKind::Open(const TCableRequest &request) const
{
    const TParsed parsed = Parse(request.Name);
    // The empty socket keeps no memory.
    const std::string image = parsed.Row->TakesImage ? parsed.Image.value_or(request.SimImage) : std::string();
    TCableOpening opening;
    try {
        opening.Cable = std::make_unique<TSimCable>(*parsed.Row, image, *request.Settings);
    } catch (const TSimImageInUse &e) {
        opening = {nullptr, TOpenResult::PortError, e.what()}; // held by another run, as a port can be
    } catch (const std::exception &e) {
        opening = {nullptr, TOpenResult::FileError, e.what()};
    }
    return opening;
}

std::string TSimPortKind::Describe(const std::string &name) const
{
    return name == VirtualPortName ? "the virtual chip (sim)" : std::string();
}
