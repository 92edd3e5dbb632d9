// The terminal window on a USB cable's FTDI chip (the fake cable, on its virtual clock): what the
// target sends shows, also a long burst at a high baud rate and a banner right after an operation,
// and a typed key leaves through the chip's UART after an operation had it in bit-bang mode.
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

class DebugFormFtdi : public testing::Test {
protected:
    void Open(int baud)
    {
        Settings.ResetDelay1 = Settings.ResetDelay2 = 0.1;
        auto owned = std::make_unique<TFtdiFake>(Chip, Settings);
        Fake = owned.get();
        Fake->SetHostTime(false);
        Port = std::make_unique<TFtdiPort>(std::move(owned), "ftdi", Settings);
        Com.SetShowErrors(false);
        Com.SetPortName("ftdi");
        Com.AttachBackEnd(Port.get());
        Com.SetBaud(baud);
        ASSERT_TRUE(Com.Open()) << Port->OpenError();
        Form = std::make_unique<TDebugForm>(Com, Settings, Status);
        Form->Timer1->stop();
        Form->show();
    }
    // The terminal's polls, 50 ms apart on the cable's clock.
    void Poll(double seconds)
    {
        for (double t = 0; t < seconds; t += 0.05) {
            Fake->Advance(0.05);
            Form->Timer1Timer();
        }
    }

    // Destroyed in reverse: the form, then the terminal port closing through the cable, then the cable.
    TSettings Settings;
    TVirtualChip Chip{TChipKind::AT89S8252};
    TFtdiFake *Fake = nullptr;
    std::unique_ptr<TFtdiPort> Port;
    T_QCCom32 Com;
    TProgStatus Status;
    std::unique_ptr<TDebugForm> Form;
};

TEST_F(DebugFormFtdi, TalksThroughTheCableAroundAnOperation)
{
    Open(2400);
    Fake->Receive("READY\r\n>");
    Form->Timer1Timer();
    EXPECT_EQ(ConsoleText(*Form->Console1), "READY\n>\n");

    TIspLink(Port->BitBang(), Settings).StartProgramming();
    ASSERT_TRUE(Fake->InBitBang());
    QTest::keyClick(Form->Console1, 'k');
    Form->Timer1Timer();
    EXPECT_FALSE(Fake->InBitBang());
    EXPECT_EQ(Fake->Sent(), "k");
    EXPECT_EQ(Fake->UartBaud(), 2400);
    EXPECT_FALSE(Port->PortLost());
}

// The chip holds little of what arrives; a read kept pending on the host takes the rest between
// two polls.
TEST_F(DebugFormFtdi, A64KiBBurstAt115200BaudArrivesWhole)
{
    Open(115200);
    std::string burst, shown;
    for (int line = 0; burst.size() < 64 * 1024; ++line) {
        const std::string text = "line " + std::to_string(line) + std::string(56 - std::to_string(line).size(), '.');
        burst += text + "\r\n";
        shown += text + "\n";
    }
    Fake->ReceiveAt(0, burst, 115200);
    Poll(burst.size() * 10.0 / 115200 + 0.2);
    EXPECT_EQ(Fake->BytesLost(), 0u);
    EXPECT_EQ(ConsoleText(*Form->Console1), shown + "\n");
}

// The target talks as soon as a reset lets it run: the port listens from the release of RESET on,
// while the reset's second delay is still waited.
TEST_F(DebugFormFtdi, ABannerRightAfterAChipResetArrives)
{
    Open(9600);
    Settings.ResetDelay1 = Settings.ResetDelay2 = 50;
    TIspLink link(Port->BitBang(), Settings);
    link.SclLow(); // what the chip reset operation does, start to end
    Fake->ReceiveAt(0.060, "BASIC V1.1\r\n", 9600); // 10 ms after the release, over in 13 ms
    link.PulseReset();
    link.SclHigh();
    link.SetMosi(true);
    link.EndProgramming();
    Poll(0.1);
    EXPECT_EQ(Fake->BytesLost(), 0u);
    EXPECT_EQ(ConsoleText(*Form->Console1), "BASIC V1.1\n\n");
}

} // namespace
