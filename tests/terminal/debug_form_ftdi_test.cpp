// The terminal window on a USB cable's FTDI chip (the fake cable): what the target sends shows, a
// typed key leaves through the chip's UART, and an operation in between takes the chip into
// bit-bang mode and hands it back.
#include "ftdi/ftdi_port.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_chip.h"
#include "terminal/debug_form.h"
#include "terminal_test_support.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

TEST(DebugFormFtdi, TalksThroughTheCableAroundAnOperation)
{
    TSettings settings;
    settings.ResetDelay1 = settings.ResetDelay2 = 0.1;
    TVirtualChip chip(TChipKind::AT89S8252);
    auto owned = std::make_unique<TFtdiFake>(chip, settings);
    TFtdiFake &fake = *owned;
    TFtdiPort port(std::move(owned), "ftdi", settings);
    T_QCCom32 com;
    com.SetShowErrors(false);
    com.SetPortName("ftdi");
    com.AttachBackEnd(&port);
    com.SetBaud(2400);
    ASSERT_TRUE(com.Open()) << port.OpenError();
    TProgStatus status;
    TDebugForm form(com, settings, status);
    form.Timer1->stop();
    form.show();

    fake.Receive("READY\r\n>");
    form.Timer1Timer();
    EXPECT_EQ(ConsoleText(*form.Console1), "READY\n>\n");

    TIspLink(port.BitBang(), settings).IdleLines(); // what the main window does before an operation
    ASSERT_TRUE(fake.InBitBang());
    QTest::keyClick(form.Console1, 'k');
    form.Timer1Timer();
    EXPECT_FALSE(fake.InBitBang());
    EXPECT_EQ(fake.Sent(), "k");
    EXPECT_EQ(fake.UartBaud(), 2400);
    EXPECT_FALSE(port.PortLost());
}

} // namespace
