// The driver behind a terminal device, from sysfs trees laid out as the kernel lays them out.
#include "link/tty_driver.h"

#include "fake_sysfs.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/sysmacros.h>

namespace {

TEST(TtyDriverTest, LooksUpDriverIdsAndSettleForEveryKindOfPort)
{
    using TMake = std::function<std::string(TFakeSysfs &)>;
    auto usb = [](TFakeUsbPort port, bool byId) -> TMake {
        return [port, byId](TFakeSysfs &t) {
            t.AddUsb(port);
            return byId ? t.ById(port.Tty) : t.Dev(port.Tty);
        };
    };
    const struct {
        TMake Make; // builds the tree, gives the path to look up
        TTtyKind Kind;
        double SettleMs;
        std::string Text;
    } cases[] = {
        {usb({"ttyUSB0", "ftdi_sio", "0403", "6001", "A50285BI"}, true), TTtyKind::Usb, 0,
         "ftdi_sio, USB 0403:6001, serial A50285BI"},
        {usb({"ttyUSB1", "cp210x", "10c4", "ea60", "0001"}, false), TTtyKind::Usb, 0, "cp210x, USB 10c4:ea60, serial 0001"},
        {usb({"ttyUSB0", "pl2303", "067b", "2303", "", 0, 1, "1ms"}, true), TTtyKind::Usb, 5, "pl2303, USB 067b:2303"},
        {usb({"ttyUSB0", "ch341-uart", "1a86", "7523", "", 0, 1, "1ms"}, false), TTtyKind::Usb, 5, "ch341-uart, USB 1a86:7523"},
        // Late by twice the polling interval of its notifications, but never more than the cap.
        {usb({"ttyACM0", "cdc_acm", "2e8a", "000a", "E661", 0, 1, "16ms"}, true), TTtyKind::Usb, 32,
         "cdc_acm, USB 2e8a:000a, serial E661"},
        {usb({"ttyACM0", "cdc_acm", "2e8a", "000a", "", 0, 1, "255ms"}, true), TTtyKind::Usb, 50,
         "cdc_acm, USB 2e8a:000a"},
        // High-speed endpoints count in microseconds.
        {usb({"ttyUSB0", "pl2303", "067b", "23a3", "", 0, 1, "125us"}, false), TTtyKind::Usb, 5,
         "pl2303, USB 067b:23a3"},
        {usb({"ttyACM1", "cdc_acm", "1d50", "6018", "", 0, 1, "16000us"}, false), TTtyKind::Usb, 32,
         "cdc_acm, USB 1d50:6018"},
        // A node whose name sysfs does not know is found by its device number (here /dev/null's).
        {[](TFakeSysfs &t) {
             t.AddUsb({"ttyUSB3", "ch341-uart", "1a86", "7523", "", 0, 1, "1ms", "1:3"});
             return std::string("/dev/null");
         },
         TTtyKind::Usb, 5, "ch341-uart, USB 1a86:7523"},
        // Not known to ask the chip: taken to be late.
        {usb({"ttyUSB0", "ark3116", "6547", "0232"}, false), TTtyKind::Usb, 5, "ark3116, USB 6547:0232"},
        {[](TFakeSysfs &t) { t.AddNative("ttyS0", "serial8250"); return t.Dev("ttyS0"); }, TTtyKind::Native, 0,
         "serial8250, a built-in UART"},
        {[](TFakeSysfs &t) { t.AddConsole("tty1"); return t.Dev("tty1"); }, TTtyKind::Pseudo, 0,
         "a pseudo-terminal or console, without modem lines"},
        {[](TFakeSysfs &) { return std::string("/dev/pts/7"); }, TTtyKind::Pseudo, 0,
         "a pseudo-terminal or console, without modem lines"},
        {[](TFakeSysfs &t) { return t.Dev("ttyUSB9"); }, TTtyKind::Unknown, 0, "driver unknown (not in sysfs)"},
    };
    for (const auto &c : cases) {
        TFakeSysfs tree;
        const TTtyDriver tty = LookUpTtyDriver(c.Make(tree), tree.Sys());
        EXPECT_EQ(TtyDriverText(tty), c.Text);
        EXPECT_EQ(tty.Kind, c.Kind) << c.Text;
        EXPECT_EQ(DriverSettleMs(tty), c.SettleMs) << c.Text;
    }
}

// A container's /dev holds nodes of USB serial majors that its sysfs does not show: such a port is
// taken to report line changes late, any other unknown device not.
TEST(TtyDriverTest, UnknownNodesOfUsbSerialMajorsCountAsLate)
{
    TFakeSysfs tree;
    for (const auto &[major, settleMs] : {std::pair{188u, 5.0}, {166u, 5.0}, {4u, 0.0}})
        EXPECT_EQ(DriverSettleMs(LookUpTtyNode("programmer", makedev(major, 2), tree.Sys())), settleMs) << major;
    EXPECT_EQ(TtyDriverText(LookUpTtyNode("programmer", makedev(188, 2), tree.Sys())),
              "driver unknown (not in sysfs), a USB serial port by its device number");
}

TEST(TtyDriverTest, TheUsersSettleWinsAndNoSettleIsShorterThanTheClockDelay)
{
    const struct {
        double Driver;
        std::optional<double> User;
        double Clock, Expected;
    } cases[] = {{5, std::nullopt, 0, 5}, {5, 0.0, 0, 0}, {0, 2.0, 0, 2},
                 {5, std::nullopt, 8, 8}, {0, std::nullopt, 8, 0}, {5, 1.0, 3, 3}};
    for (const auto &c : cases)
        EXPECT_EQ(EffectiveSettleMs(c.Driver, c.User, c.Clock), c.Expected) << c.Driver << " " << c.Clock;
}

} // namespace
