#include "ftdi/ftdi_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// "ftdi-ttl" first: "ftdi" begins it too.
std::size_t PrefixLength(const std::string &name)
{
    for (const std::string prefix : {"ftdi-ttl", "ftdi"})
        if (name.rfind(prefix, 0) == 0 &&
            (name.size() == prefix.size() || name[prefix.size()] == ':' || name[prefix.size()] == '@'))
            return prefix.size();
    return 0;
}

} // namespace

bool IsFtdiPortName(const std::string &name)
{
    return PrefixLength(name) > 0;
}

TFtdiName ParseFtdiName(const std::string &name)
{
    TFtdiName parsed;
    const std::size_t prefix = PrefixLength(name);
    parsed.Ttl = prefix == 8;
    std::string rest = name.substr(prefix);
    const std::size_t n = rest.size();
    if (n >= 2 && rest[n - 2] == '@') {
        const int letter = std::toupper(static_cast<unsigned char>(rest[n - 1]));
        if (letter >= 'A' && letter <= 'D') {
            parsed.Interface = letter - 'A' + 1;
            rest.resize(n - 2);
        }
    }
    if (!rest.empty() && rest[0] == ':')
        parsed.Description = rest.substr(1);
    return parsed;
}

std::string FtdiPortString(const TFtdiDeviceInfo &device)
{
    char text[64];
    if (device.Serial.empty())
        std::snprintf(text, sizeof text, "ftdi:d:%03d/%03d", device.Bus, device.Address);
    else
        std::snprintf(text, sizeof text, "ftdi:s:0x%04x:0x%04x:", device.Vendor, device.Product);
    return text + device.Serial;
}

// A multi-port chip's terminal devices are its interfaces A, B, ... in the order of their numbers.
std::string FtdiPortStringFor(const TTtyDriver &tty)
{
    if (tty.Kind != TTtyKind::Usb || tty.Driver != "ftdi_sio")
        return {};
    TFtdiDeviceInfo device;
    device.Vendor = tty.Vendor;
    device.Product = tty.Product;
    device.Bus = tty.Bus;
    device.Address = tty.Address;
    device.Serial = tty.Serial;
    std::string name = FtdiPortString(device);
    if (tty.Interfaces > 1 && tty.Interface >= 0 && tty.Interface < 4)
        name += std::string("@") + static_cast<char>('A' + tty.Interface);
    return name;
}

// "ftdi:s:0x0403:0x6001:A50285BI  FTDI FT232R USB UART (vendor 0x0403, product 0x6001, serial
// A50285BI, bus 001 device 005)"; a dual or quad chip adds the interface suffixes it takes.
std::string FtdiDeviceLine(const TFtdiDeviceInfo &device)
{
    char ids[48];
    std::snprintf(ids, sizeof ids, "vendor 0x%04x, product 0x%04x", device.Vendor, device.Product);
    char place[32];
    std::snprintf(place, sizeof place, "bus %03d device %03d", device.Bus, device.Address);
    std::string line = FtdiPortString(device) + "  ";
    if (!device.Manufacturer.empty())
        line += device.Manufacturer + " ";
    if (!device.Description.empty())
        line += device.Description + " ";
    line += "(" + std::string(ids) + (device.Serial.empty() ? "" : ", serial " + device.Serial) + ", " + place + ")";
    if (device.Product == 0x6010)
        line += ", interfaces @A @B";
    else if (device.Product == 0x6011)
        line += ", interfaces @A @B @C @D";
    if (!device.Problem.empty())
        line += ": " + device.Problem;
    return line;
}
