// The driver behind a terminal device, from sysfs trees laid out as the kernel lays them out.
#include "link/tty_driver.h"

#include "fake_sysfs.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TLookupCase {
    const char *What;
    std::function<std::string(TFakeSysfs &)> Make; // builds the tree, returns the path to look up
    TTtyKind Kind;
    std::string Driver;
    int Vendor;
    int Product;
    std::string Serial;
    double SettleMs;
    std::string Text;
};

TFakeUsbPort Usb(const std::string &tty, const std::string &driver, const std::string &vendor,
                 const std::string &product, const std::string &serial = "", const std::string &interval = "")
{
    return {tty, driver, vendor, product, serial, 0, 1, interval};
}

TEST(TtyDriverTest, LooksUpDriverIdsAndSettleForEveryKindOfPort)
{
    const TLookupCase cases[] = {
        {"FTDI cable through its by-id link",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyUSB0", "ftdi_sio", "0403", "6001", "A50285BI")); return t.ById("ttyUSB0"); },
         TTtyKind::Usb, "ftdi_sio", 0x0403, 0x6001, "A50285BI", 0, "ftdi_sio, USB 0403:6001, serial A50285BI"},
        {"CP210x cable",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyUSB1", "cp210x", "10c4", "ea60", "0001")); return t.Dev("ttyUSB1"); },
         TTtyKind::Usb, "cp210x", 0x10c4, 0xea60, "0001", 0, "cp210x, USB 10c4:ea60, serial 0001"},
        {"PL2303 cable, interrupt endpoint polled every ms",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyUSB0", "pl2303", "067b", "2303", "", "1ms")); return t.ById("ttyUSB0"); },
         TTtyKind::Usb, "pl2303", 0x067b, 0x2303, "", 5, "pl2303, USB 067b:2303"},
        {"CH340 cable",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyUSB0", "ch341-uart", "1a86", "7523", "", "1ms")); return t.Dev("ttyUSB0"); },
         TTtyKind::Usb, "ch341-uart", 0x1a86, 0x7523, "", 5, "ch341-uart, USB 1a86:7523"},
        {"CDC ACM device reporting lines every 32 ms",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyACM0", "cdc_acm", "2e8a", "000a", "E661", "32ms")); return t.ById("ttyACM0"); },
         TTtyKind::Usb, "cdc_acm", 0x2e8a, 0x000a, "E661", 64, "cdc_acm, USB 2e8a:000a, serial E661"},
        {"USB driver not known to ask the chip",
         [](TFakeSysfs &t) { t.AddUsb(Usb("ttyUSB0", "ark3116", "6547", "0232")); return t.Dev("ttyUSB0"); },
         TTtyKind::Usb, "ark3116", 0x6547, 0x0232, "", 5, "ark3116, USB 6547:0232"},
        {"built-in UART",
         [](TFakeSysfs &t) { t.AddNative("ttyS0", "serial8250"); return t.Dev("ttyS0"); },
         TTtyKind::Native, "serial8250", 0, 0, "", 0, "serial8250, a built-in UART"},
        {"virtual console, no device behind it",
         [](TFakeSysfs &t) { t.AddConsole("tty1"); return t.Dev("tty1"); },
         TTtyKind::Pseudo, "", 0, 0, "", 0, "a pseudo-terminal, without modem lines"},
        {"pseudo-terminal", [](TFakeSysfs &) { return std::string("/dev/pts/7"); },
         TTtyKind::Pseudo, "", 0, 0, "", 0, "a pseudo-terminal, without modem lines"},
        {"device sysfs does not know", [](TFakeSysfs &t) { return t.Dev("ttyUSB9"); },
         TTtyKind::Unknown, "", 0, 0, "", 0, "driver unknown (not in sysfs)"},
    };
    for (const TLookupCase &c : cases) {
        SCOPED_TRACE(c.What);
        TFakeSysfs tree;
        const TTtyDriver tty = LookUpTtyDriver(c.Make(tree), tree.Sys().string());
        EXPECT_EQ(tty.Kind, c.Kind);
        EXPECT_EQ(tty.Driver, c.Driver);
        EXPECT_EQ(tty.Vendor, c.Vendor);
        EXPECT_EQ(tty.Product, c.Product);
        EXPECT_EQ(tty.Serial, c.Serial);
        EXPECT_EQ(DriverSettleMs(tty), c.SettleMs);
        EXPECT_EQ(TtyDriverText(tty), c.Text);
    }
}

TEST(TtyDriverTest, NamesTheTtyAndTheInterfaceOfAMultiPortChip)
{
    TFakeSysfs tree;
    tree.AddUsb({"ttyUSB3", "ftdi_sio", "0403", "6010", "FT2232X", 1, 2, ""});
    const TTtyDriver tty = LookUpTtyDriver(tree.ById("ttyUSB3"), tree.Sys().string());
    EXPECT_EQ(tty.Name, "ttyUSB3");
    EXPECT_EQ(tty.Interface, 1);
    EXPECT_EQ(tty.Interfaces, 2);
    EXPECT_EQ((std::vector{tty.Bus, tty.Address}), (std::vector{1, 7}));
}

TEST(TtyDriverTest, TheUsersSettleWinsAndNoSettleIsShorterThanTheClockDelay)
{
    struct TCase {
        double Driver;
        std::optional<double> User;
        double Clock;
        double Expected;
    };
    const TCase cases[] = {
        {5, std::nullopt, 0, 5}, {5, 0.0, 0, 0}, {0, 2.0, 0, 2},
        {5, std::nullopt, 8, 8}, {0, std::nullopt, 8, 0}, {5, 1.0, 3, 3},
    };
    for (const TCase &c : cases)
        EXPECT_EQ(EffectiveSettleMs(c.Driver, c.User, c.Clock), c.Expected)
            << c.Driver << " " << (c.User ? *c.User : -1) << " " << c.Clock;
}

} // namespace
