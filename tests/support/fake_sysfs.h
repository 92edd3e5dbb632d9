// A sysfs tree in a scratch folder, laid out as the kernel lays it out: class/tty/<name> links to
// the tty's folder under devices/, whose device link leads to the port (a usb-serial port, a USB
// interface, a platform device) and that one's driver link to the driver. Beside it a dev/ folder
// with the device files and their /dev/serial/by-id links. The tree lives in a scratch folder of its
// own, removed with it.
#pragma once
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>

struct TFakeUsbPort {
    std::string Tty;            // ttyUSB0, ttyACM0
    std::string Driver;         // the name sysfs gives it: pl2303, ch341-uart, cdc_acm, ...
    std::string Vendor;         // as sysfs writes it: 067b
    std::string Product;
    std::string Serial;         // empty: the device has none
    int Interface = 0;
    int Interfaces = 1;
    std::string Interval;       // the interrupt-in endpoint's, "1ms"; empty: none
};

class TFakeSysfs {
public:
    TFakeSysfs()
    {
        std::string name = (std::filesystem::temp_directory_path() / "korvel-sysfs-XXXXXX").string();
        if (!::mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed");
        Root = name;
        std::filesystem::create_directories(Sys() / "class" / "tty");
        std::filesystem::create_directories(Root / "dev" / "serial" / "by-id");
    }
    ~TFakeSysfs()
    {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }
    TFakeSysfs(const TFakeSysfs &) = delete;
    TFakeSysfs &operator=(const TFakeSysfs &) = delete;

    std::filesystem::path Sys() const { return Root / "sys"; }
    // The device file, and the by-id link to it.
    std::string Dev(const std::string &tty) const { return (Root / "dev" / tty).string(); }
    std::string ById(const std::string &tty) const { return (Root / "dev" / "serial" / "by-id" / ("usb-" + tty)).string(); }

    // A usb-serial driver's port (ttyUSBn) sits below its interface; cdc_acm's tty belongs to the
    // interface itself.
    void AddUsb(const TFakeUsbPort &port)
    {
        const auto device = Sys() / "devices/pci0000:00/0000:00:14.0/usb1/1-2";
        Write(device / "idVendor", port.Vendor);
        Write(device / "idProduct", port.Product);
        Write(device / "busnum", "1");
        Write(device / "devnum", "7");
        Write(device / "bNumInterfaces", " " + std::to_string(port.Interfaces));
        if (!port.Serial.empty())
            Write(device / "serial", port.Serial);
        const auto interface = device / ("1-2:1." + std::to_string(port.Interface));
        Write(interface / "bInterfaceNumber", "0" + std::to_string(port.Interface));
        if (!port.Interval.empty()) {
            Write(interface / "ep_02" / "type", "Bulk");
            Write(interface / "ep_02" / "direction", "out");
            Write(interface / "ep_81" / "type", "Interrupt");
            Write(interface / "ep_81" / "direction", "in");
            Write(interface / "ep_81" / "interval", port.Interval);
        }
        const bool acm = port.Tty.rfind("ttyACM", 0) == 0;
        const auto owner = acm ? interface : interface / port.Tty;
        Link(owner / "driver", Sys() / "bus" / (acm ? "usb" : "usb-serial") / "drivers" / port.Driver);
        AddTty(port.Tty, owner);
    }

    void AddNative(const std::string &tty, const std::string &driver)
    {
        const auto owner = Sys() / "devices/platform/serial8250";
        Link(owner / "driver", Sys() / "bus/platform/drivers" / driver);
        AddTty(tty, owner);
    }

    // A virtual console: in the class, with no device behind it.
    void AddConsole(const std::string &tty)
    {
        const auto folder = Sys() / "devices/virtual/tty" / tty;
        std::filesystem::create_directories(folder);
        Link(Sys() / "class" / "tty" / tty, folder);
        Write(Root / "dev" / tty, "");
    }

private:
    void AddTty(const std::string &tty, const std::filesystem::path &owner)
    {
        const auto folder = owner / "tty" / tty;
        std::filesystem::create_directories(folder);
        Link(folder / "device", owner);
        Link(Sys() / "class" / "tty" / tty, folder);
        Write(Root / "dev" / tty, "");
        Link(ById(tty), Root / "dev" / tty);
    }

    // Relative, as the kernel's links are, so the tree holds wherever the folder is.
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
