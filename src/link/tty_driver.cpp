#include "link/tty_driver.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

namespace fs = std::filesystem;

// pl2303 cables are reported reliable by other bit-bang programmers at about 5 ms per edge; ch341
// and cdc_acm answer from interrupt-endpoint reports in the same way, and so may any USB driver not
// known to ask the chip.
constexpr double LateSettleMs = 5.0;

// The majors the kernel gives usb-serial ports (ttyUSB) and cdc_acm ports (ttyACM).
constexpr unsigned UsbSerialMajor = 188;
constexpr unsigned AcmMajor = 166;

constexpr const char *InputNames[] = {"CTS", "DSR", "DCD", "RI"};

// First line of a sysfs attribute, without surrounding blanks; empty when it cannot be read.
std::string ReadAttribute(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

int ParseNumber(const std::string &text, int base)
{
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, base);
    return value;
}

// An endpoint's polling interval as sysfs shows it: "1ms", "16ms", "125us".
double ParseIntervalMs(const std::string &text)
{
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [unit, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc())
        return 0;
    const std::string_view suffix(unit, static_cast<std::size_t>(end - unit));
    return suffix == "ms" ? value : suffix == "us" ? value / 1000 : 0;
}

// A late driver learns of a line change only when the host next polls this endpoint.
double InterruptPollMs(const fs::path &interface)
{
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(interface, ec)) {
        const fs::path ep = entry.path();
        if (ep.filename().string().rfind("ep_", 0) == 0 && ReadAttribute(ep / "type") == "Interrupt" &&
            ReadAttribute(ep / "direction") == "in")
            return ParseIntervalMs(ReadAttribute(ep / "interval"));
    }
    return 0;
}

void ReadUsbDevice(const fs::path &device, TTtyDriver &tty)
{
    tty.Kind = TTtyKind::Usb;
    tty.Vendor = ParseNumber(ReadAttribute(device / "idVendor"), 16);
    tty.Product = ParseNumber(ReadAttribute(device / "idProduct"), 16);
    tty.Serial = ReadAttribute(device / "serial");
    tty.Bus = ParseNumber(ReadAttribute(device / "busnum"), 10);
    tty.Address = ParseNumber(ReadAttribute(device / "devnum"), 10);
    tty.Interfaces = std::max(1, ParseNumber(ReadAttribute(device / "bNumInterfaces"), 10));
}

// The USB device is the nearest directory above the port holding idVendor and idProduct; the
// interface (with the port's endpoints) lies between the two.
void FindUsbDevice(const fs::path &port, const fs::path &root, TTtyDriver &tty)
{
    const std::string inside = root.string() + "/";
    bool interfaceSeen = false;
    for (fs::path p = port; p.string().rfind(inside, 0) == 0; p = p.parent_path()) {
        if (!interfaceSeen && fs::exists(p / "bInterfaceNumber")) {
            interfaceSeen = true;
            tty.Interface = ParseNumber(ReadAttribute(p / "bInterfaceNumber"), 16);
            tty.PollMs = InterruptPollMs(p);
        }
        if (fs::exists(p / "idVendor") && fs::exists(p / "idProduct")) {
            ReadUsbDevice(p, tty);
            return;
        }
    }
}

// Since Linux 6.5 the serial core puts devices of its own (bus serial-base, drivers ctrl and port)
// between a UART's tty and the device its driver serves: the driver is the first one above them.
std::string DriverAbove(const fs::path &port, const fs::path &root)
{
    const std::string inside = root.string() + "/";
    std::error_code ec;
    for (fs::path p = port; p.string().rfind(inside, 0) == 0; p = p.parent_path()) {
        const fs::path driver = fs::read_symlink(p / "driver", ec);
        if (ec || driver.parent_path().parent_path().filename() != "serial-base")
            return driver.filename().string();
    }
    return {};
}

} // namespace

TTtyDriver LookUpTtyDriver(const std::string &device, const std::string &sysfsRoot)
{
    std::error_code ec;
    fs::path path = fs::weakly_canonical(device, ec); // follows /dev/serial/by-id and other links
    if (ec)
        path = device;
    if (path.parent_path() == "/dev/pts") {
        TTtyDriver tty;
        tty.Kind = TTtyKind::Pseudo;
        tty.Name = path.filename().string();
        return tty;
    }
    struct stat st{};
    std::optional<dev_t> number;
    if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        number = st.st_rdev;
    return LookUpTtyNode(path.filename().string(), number, sysfsRoot);
}

TTtyDriver LookUpTtyNode(const std::string &name, std::optional<dev_t> number, const std::string &sysfsRoot)
{
    std::error_code ec;
    TTtyDriver tty;
    tty.Name = name;
    const fs::path root = fs::weakly_canonical(sysfsRoot, ec);
    fs::path entry = root / "class" / "tty" / name;
    if (number) {
        const fs::path byNumber =
            root / "dev" / "char" / (std::to_string(major(*number)) + ":" + std::to_string(minor(*number)));
        // Terminals sit in a folder tty of their device; /dev/null's number leads elsewhere.
        const fs::path device = fs::canonical(byNumber, ec);
        if (!ec && device.parent_path().filename() == "tty") {
            entry = device;
            tty.Name = device.filename().string();
        }
    }
    if (tty.Name.empty() || !fs::exists(entry, ec)) {
        if (number && (major(*number) == UsbSerialMajor || major(*number) == AcmMajor)) {
            tty.Kind = TTtyKind::Usb;
            tty.Listed = false;
        }
        return tty;
    }
    const fs::path port = fs::canonical(entry / "device", ec);
    if (ec) { // consoles and pseudo-terminals have no device behind them
        tty.Kind = TTtyKind::Pseudo;
        return tty;
    }
    tty.Driver = DriverAbove(port, root);
    tty.Kind = TTtyKind::Native;
    FindUsbDevice(port, root, tty);
    return tty;
}

std::string TtyDriverText(const TTtyDriver &tty)
{
    switch (tty.Kind) {
    case TTtyKind::Usb: {
        if (!tty.Listed)
            return "driver unknown (not in sysfs), a USB serial port by its device number";
        char ids[32];
        std::snprintf(ids, sizeof ids, "USB %04x:%04x", tty.Vendor, tty.Product);
        return (tty.Driver.empty() ? "no driver" : tty.Driver) + ", " + ids +
               (tty.Serial.empty() ? "" : ", serial " + tty.Serial);
    }
    case TTtyKind::Native: return (tty.Driver.empty() ? "" : tty.Driver + ", ") + "a built-in UART";
    case TTtyKind::Pseudo: return "a pseudo-terminal or console, without modem lines";
    case TTtyKind::Unknown: break;
    }
    return "driver unknown (not in sysfs)";
}

// ftdi_sio and cp210x ask the chip for the modem status with a control transfer at every read;
// the others answer with what the cable last reported on its interrupt endpoint.
double UncappedSettleMs(const TTtyDriver &tty)
{
    if (tty.Kind != TTtyKind::Usb || tty.Driver == "ftdi_sio" || tty.Driver == "cp210x")
        return 0;
    return std::max(LateSettleMs, 2 * tty.PollMs);
}

double DriverSettleMs(const TTtyDriver &tty)
{
    return std::min(UncappedSettleMs(tty), MaxDriverSettleMs);
}

// The communications class's serial-state notification carries DCD, DSR and a ring event but no
// CTS, which cdc_acm then reports as always on; a ring event is no level either.
unsigned ReportedInputs(const TTtyDriver &tty)
{
    if (tty.Driver == "cdc_acm")
        return (1u << 1) | (1u << 2);
    return AllInputs;
}

std::string UnreportedInputProblem(const TTtyDriver &tty, int misoLine)
{
    const unsigned reported = ReportedInputs(tty);
    if (misoLine < 0 || misoLine > 3 || ((reported >> misoLine) & 1))
        return {};
    std::string usable;
    for (int line = 0; line < 4; ++line)
        if ((reported >> line) & 1)
            usable += std::string(usable.empty() ? "" : " or ") + InputNames[line];
    return tty.Driver + " cannot report " + InputNames[misoLine] + ": wire MISO to " + usable;
}

// A user who slowed the clock for a sluggish cable wants the reads no quicker than that either.
double EffectiveSettleMs(double driverSettleMs, std::optional<double> userSettleMs, double clockDelayMs)
{
    const double settle = userSettleMs ? *userSettleMs : driverSettleMs;
    return settle > 0 ? std::max(settle, clockDelayMs) : 0;
}
