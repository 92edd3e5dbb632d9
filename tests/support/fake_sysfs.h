// A sysfs tree in a scratch folder of its own, laid out as the kernel lays it out: class/tty/<name>
// links to the tty's folder under devices/, whose device link leads to the port (a usb-serial port, a
// USB interface, a platform device) and that one's driver link to the driver; beside it dev/ with the
// device files and their serial/by-id links; dev/char/MAJOR:MINOR leads to a tty's folder by number.
#pragma once
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>

struct TFakeUsbPort {
    std::string Tty, Driver, Vendor, Product; // as sysfs names them: ttyUSB0, pl2303, 067b, 2303
    std::string Serial = {};                  // empty: the device has none
    int Interface = 0;
    int Interfaces = 1;
    std::string Interval = {}; // the interrupt-in endpoint's, "1ms"; empty: none
    std::string Number = {};   // the device number, "188:0"; empty: not under dev/char
};

class TFakeSysfs {
public:
    TFakeSysfs()
    {
        std::string name = (std::filesystem::temp_directory_path() / "korvel-sysfs-XXXXXX").string();
        if (!::mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed");
        Root = name;
    }
    ~TFakeSysfs() { std::filesystem::remove_all(Root); }
    TFakeSysfs(const TFakeSysfs &) = delete;
    TFakeSysfs &operator=(const TFakeSysfs &) = delete;

    std::string Sys() const { return (Root / "sys").string(); }
    std::string Dev(const std::string &tty) const { return (Root / "dev" / tty).string(); }
    std::string ById(const std::string &tty) const { return (Root / "dev/serial/by-id" / ("usb-" + tty)).string(); }

    // A usb-serial port (ttyUSBn) sits below its interface; cdc_acm's tty belongs to the interface.
    void AddUsb(const TFakeUsbPort &port)
    {
        const auto device = Root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        for (const auto &[name, value] : {std::pair{"idVendor", port.Vendor}, {"idProduct", port.Product},
                                          {"busnum", std::string("1")}, {"devnum", std::string("7")},
                                          {"bNumInterfaces", " " + std::to_string(port.Interfaces)}, {"serial", port.Serial}})
            if (!value.empty())
                Write(device / name, value);
        const auto interface = device / ("1-2:1." + std::to_string(port.Interface));
        Write(interface / "bInterfaceNumber", "0" + std::to_string(port.Interface));
        if (!port.Interval.empty()) {
            Write(interface / "ep_02/type", "Bulk");
            Write(interface / "ep_81/type", "Interrupt");
            Write(interface / "ep_81/direction", "in");
            Write(interface / "ep_81/interval", port.Interval);
        }
        const bool acm = port.Tty.rfind("ttyACM", 0) == 0;
        const auto owner = acm ? interface : interface / port.Tty;
        AddTty(port.Tty, owner, acm ? "usb" : "usb-serial", port.Driver);
        if (!port.Number.empty())
            Link(Root / "sys/dev/char" / port.Number, owner / "tty" / port.Tty);
    }

    // As Linux 6.5 and later lay out a UART: the serial core's port and controller between the tty
    // and the device the driver serves.
    void AddNative(const std::string &tty, const std::string &driver)
    {
        const auto device = Root / "sys/devices/platform" / driver;
        Link(device / "driver", Root / "sys/bus/platform/drivers" / driver);
        Link(device / (driver + ":0/driver"), Root / "sys/bus/serial-base/drivers/ctrl");
        AddTty(tty, device / (driver + ":0") / (driver + ":0.0"), "serial-base", "port");
    }

    // A virtual console: in the class, with no device behind it.
    void AddConsole(const std::string &tty)
    {
        const auto folder = Root / "sys/devices/virtual/tty" / tty;
        std::filesystem::create_directories(folder);
        Link(Root / "sys/class/tty" / tty, folder);
    }

private:
    void AddTty(const std::string &tty, const std::filesystem::path &owner, const char *bus, const std::string &driver)
    {
        const auto folder = owner / "tty" / tty;
        Link(owner / "driver", Root / "sys/bus" / bus / "drivers" / driver);
        Link(folder / "device", owner);
        Link(Root / "sys/class/tty" / tty, folder);
        Write(Dev(tty), "");
        Link(ById(tty), Dev(tty));
    }

    // Relative, as the kernel's links are.
    static void Link(const std::filesystem::path &at, const std::filesystem::path &target)
    {
        std::filesystem::create_directories(at.parent_path());
        std::filesystem::create_symlink(std::filesystem::relative(target, at.parent_path()), at);
    }

    static void Write(const std::filesystem::path &file, const std::string &text)
    {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }

    std::filesystem::path Root;
};
