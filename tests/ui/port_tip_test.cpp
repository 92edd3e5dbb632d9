#include "ui/port_tip.h"

#include <gtest/gtest.h>

TEST(PortTip, NamesTheDeviceTheNumberOrThePortNameOpens)
{
    EXPECT_EQ(PortTip(1, "", 1, ""), "COM1 opens /dev/ttyS0");
    EXPECT_EQ(PortTip(255, "", 1, ""), "COM255 opens /dev/ttyS254");
    EXPECT_EQ(PortTip(3, "/dev/ttyUSB0", 3, ""), "The settings file's PortName opens /dev/ttyUSB0; the number is not used");
    EXPECT_EQ(PortTip(3, "sim", 3, ""), "The settings file's PortName=sim opens the virtual chip; the number is not used");
}

TEST(PortTip, TellsTheLastFailureOnlyForTheDeviceThatFailed)
{
    const std::string reason = "cannot open serial port /dev/ttyS2: Permission denied";
    EXPECT_EQ(PortTip(3, "", 3, reason), "COM3 opens /dev/ttyS2\nThe last attempt to open it failed: " + reason);
    EXPECT_EQ(PortTip(4, "", 3, reason), "COM4 opens /dev/ttyS3") << "another number, another device";
    EXPECT_NE(PortTip(4, "/dev/ttyUSB0", 3, reason).find(reason), std::string::npos)
        << "with PortName every number opens the device that failed";
    // A number out of range in the file failed on a device that the field cannot even show.
    EXPECT_EQ(PortTip(1, "", 0, reason), "COM1 opens /dev/ttyS0");
}

TEST(PortTip, NamesTheDriverBesideTheDeviceItServes)
{
    EXPECT_EQ(PortTip(1, "", 1, "", "serial, a built-in UART"), "COM1 opens /dev/ttyS0 (serial, a built-in UART)");
    EXPECT_EQ(PortTip(2, "", 1, "", "serial, a built-in UART"), "COM2 opens /dev/ttyS1");
    EXPECT_EQ(PortTip(3, "/dev/ttyUSB0", 1, "", "pl2303, USB 067b:2303"),
              "The settings file's PortName opens /dev/ttyUSB0 (pl2303, USB 067b:2303); the number is not used");
}
