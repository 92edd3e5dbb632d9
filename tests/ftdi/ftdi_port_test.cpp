// The ftdi port on the fake cable: names and rates, the chip's sample order, batching, waits and
// the clock delay's half periods.
#include "fake_sysfs.h"
#include "ftdi/ftdi_port.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_chip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

std::vector<double> HostWaits;
void RecordWait(double ms) { HostWaits.push_back(ms); }
void NoSleep(int) {}

constexpr std::uint8_t PinTxd = 0x01, PinRts = 0x04;

TSettings Quick(double clockDelay = 0.0)
{
    TSettings s;
    s.ResetDelay1 = s.ResetDelay2 = 0.0;
    s.ClockDelay = clockDelay;
    return s;
}

// A programmer on the fake cable with the default wiring: SCL on TXD, MOSI on RTS, RESET on DTR.
struct TCable {
    explicit TCable(double clockDelay = 0.0) : Settings(Quick(clockDelay))
    {
        auto fake = std::make_unique<TFtdiFake>(Chip, Settings);
        Fake = fake.get();
        Port = std::make_unique<TFtdiPort>(std::move(fake), "ftdi", Settings);
        Link = std::make_unique<TIspLink>(Port->BitBang(), Settings, &RecordWait);
        Commands = std::make_unique<TDeviceCommands>(*Link, &NoSleep);
        HostWaits.clear();
        EXPECT_TRUE(Port->Open({9600, 'N', 8, 1})) << Port->OpenError();
    }

    TSettings Settings;
    TVirtualChip Chip{TChipKind::AT89S8252};
    TFtdiFake *Fake = nullptr;
    std::unique_ptr<TFtdiPort> Port;
    std::unique_ptr<TIspLink> Link;
    std::unique_ptr<TDeviceCommands> Commands;
};

TEST(FtdiNames, NamesRatesAndListingLines)
{
    const struct {
        const char *Name;
        const char *Description;
        int Interface;
    } names[] = {{"ftdi", "", 0},
                 {"ftdi@b", "", 2},
                 {"ftdi:i:0x0403:0x6010@D", "i:0x0403:0x6010", 4},
                 {"ftdi:s:0x0403:0x6001:A5@Z", "s:0x0403:0x6001:A5@Z", 0},
                 {"ftdi:d:001/005", "d:001/005", 0}};
    for (const auto &n : names) {
        EXPECT_TRUE(IsFtdiPortName(n.Name)) << n.Name;
        EXPECT_EQ(ParseFtdiName(n.Name).Description, n.Description) << n.Name;
        EXPECT_EQ(ParseFtdiName(n.Name).Interface, n.Interface) << n.Name;
    }
    for (const char *other : {"sim", "sim-ftdi", "/dev/ttyUSB0", "ftdix"})
        EXPECT_FALSE(IsFtdiPortName(other)) << other;

    // Rates are 48 MHz over a divisor of 750000, never above the default, each sample at least half
    // the clock delay long as far as the chip's slowest rate reaches.
    const struct {
        double ClockDelay;
        int SampleRate;
        int LibFtdiBaud;
    } rates[] = {{0.0, 120000, 1875}, {0.02, 96000, 1500}, {0.2, 9600, 150}, {0.6, 3200, 50}, {50.0, 3072, 48}};
    for (const auto &r : rates) {
        const TBitBangRate rate = BitBangRateFor(r.ClockDelay);
        EXPECT_EQ(rate.SampleRate, r.SampleRate) << r.ClockDelay;
        EXPECT_EQ(rate.LibFtdiBaud, r.LibFtdiBaud) << r.ClockDelay;
        EXPECT_EQ(rate.LibFtdiBaud * 64, rate.SampleRate) << "libftdi times four, the chip sixteen times over";
    }

    TFtdiDeviceInfo cable{0x0403, 0x6001, 1, 5, "FTDI", "FT232R USB UART", "A50285BI", ""};
    EXPECT_EQ(FtdiDeviceLine(cable), "ftdi:s:0x0403:0x6001:A50285BI  FTDI FT232R USB UART (vendor 0x0403, "
                                     "product 0x6001, serial A50285BI, bus 001 device 005)");
    TFtdiDeviceInfo dual{0x0403, 0x6010, 3, 12, "", "", "", "no permission to open /dev/bus/usb/003/012"};
    EXPECT_EQ(FtdiDeviceLine(dual), "ftdi:d:003/012  (vendor 0x0403, product 0x6010, bus 003 device 012), "
                                    "interfaces @A @B: no permission to open /dev/bus/usb/003/012");
}

// libftdi reads the ids with strtol's base 0, so they need their 0x: a plain 0403 would be octal.
TEST(FtdiNames, TheNameThatDrivesACablesTerminalDeviceDirectly)
{
    const std::pair<TFakeUsbPort, const char *> cases[] = {
        {{"ttyUSB0", "ftdi_sio", "0403", "6001", "A50285BI"}, "ftdi:s:0x0403:0x6001:A50285BI"},
        {{"ttyUSB1", "ftdi_sio", "0403", "6010", "FT2X", 1, 2}, "ftdi:s:0x0403:0x6010:FT2X@B"},
        {{"ttyUSB0", "ftdi_sio", "0403", "6015"}, "ftdi:d:001/007"},
        {{"ttyUSB0", "pl2303", "067b", "2303"}, ""},
    };
    for (const auto &[port, name] : cases) {
        TFakeSysfs tree;
        tree.AddUsb(port);
        EXPECT_EQ(FtdiPortStringFor(LookUpTtyDriver(tree.ById(port.Tty), tree.Sys())), name);
    }
}

// AN232R-01: the chip reads the pins first and then drives the byte just received.
TEST(FtdiFake, ReadsThePinsBeforeItDrivesEachByte)
{
    TSettings settings;
    TVirtualChip chip(TChipKind::AT89S8252);
    TFtdiFake fake(chip, settings);
    ASSERT_EQ(fake.Open("", 0).Status, TFtdiOpenStatus::Ok);
    ASSERT_TRUE(fake.SetBitMode(0x15, true));
    const std::uint8_t out[3] = {0x15, 0x00, 0x11};
    std::uint8_t in[3] = {};
    ASSERT_TRUE(fake.Transfer(out, in, 3));
    EXPECT_EQ(in[0] & 0x15, 0x00) << "the latch starts at 00";
    EXPECT_EQ(in[1] & 0x15, 0x15);
    EXPECT_EQ(in[2] & 0x15, 0x00);
}

TEST(FtdiPort, ReadsSentAheadComeBackInOneTransfer)
{
    TCable cable;
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 7 + 3);
    cable.Chip.SetContents(image);
    cable.Link->StartProgramming();
    cable.Commands->ProgrammingEnable();
    const int before = cable.Fake->Transfers();
    std::vector<TPendingByte> pending;
    for (std::uint16_t a = 0; a < 128; ++a)
        pending.push_back(cable.Commands->QueueReadCodeByte(a));
    EXPECT_EQ(cable.Fake->Transfers(), before) << "nothing is sent before a result is needed";
    for (std::uint16_t a = 0; a < 128; ++a)
        ASSERT_EQ(cable.Commands->TakeByte(pending[a]), image.Code[a]) << a;
    EXPECT_EQ(cable.Fake->Transfers(), before + 1);
    EXPECT_EQ(cable.Chip.Counters().DecodedOf(TInstruction::ReadCode), 128u);
}

TEST(FtdiPort, WaitsBecomeIdleSamplesOrASendAndAHostWait)
{
    TCable cable;
    cable.Link->SclHigh();
    const std::int64_t start = cable.Port->WaveformMicroseconds();
    cable.Link->Wait(0.0);
    cable.Link->Wait(0.005); // within the sample the change already lasts
    EXPECT_EQ(cable.Port->WaveformMicroseconds(), start);
    cable.Link->Wait(3.0);
    const std::int64_t idle = cable.Port->WaveformMicroseconds() - start;
    EXPECT_GE(idle, 3000 - 9);
    EXPECT_LE(idle, 3000);
    const TFtdiStats queued = cable.Port->Stats();
    EXPECT_TRUE(HostWaits.empty()) << "a write delay needs no round trip";

    cable.Link->Wait(200.0);
    const TFtdiStats sent = cable.Port->Stats();
    EXPECT_EQ(sent.Transfers, queued.Transfers + 1);
    EXPECT_EQ(HostWaits, std::vector<double>{200.0});
    EXPECT_DOUBLE_EQ(sent.HostWaitSeconds, 0.2);
}

// Every SCK half period and every MOSI setup before a rising edge lasts at least half the clock
// delay, on the chip's own clock, and the chip still answers. (Beyond the chip's slowest rate, the
// link's own waits make the half periods; the SCK low before a received byte has none.)
TEST(FtdiPort, ClockDelaySetsTheHalfPeriods)
{
    for (const double clockDelay : {0.0, 0.05, 0.4, 0.6}) {
        TCable cable(clockDelay);
        cable.Link->StartProgramming();
        cable.Commands->ProgrammingEnable();
        EXPECT_TRUE(cable.Commands->DetectDevice()) << clockDelay;
        cable.Link->EndProgramming();
        EXPECT_EQ(cable.Fake->SampleRate(), BitBangRateFor(clockDelay).SampleRate);
        const double half = std::max(clockDelay / 2000.0, 1.0 / DefaultSampleRate) - 1e-9;
        const auto &history = cable.Fake->PinHistory();
        double lastSck = -1, lastMosi = -1;
        int edges = 0;
        for (std::size_t i = 1; i < history.size(); ++i) {
            const auto changed = static_cast<std::uint8_t>(history[i].Pins ^ history[i - 1].Pins);
            const double t = history[i].Seconds;
            if (changed & PinTxd) {
                ++edges;
                if (lastSck >= 0)
                    ASSERT_GE(t - lastSck, half) << "SCK at " << clockDelay << " ms";
                const bool rising = !(history[i].Pins & PinTxd); // break on: SCL high
                if (rising && lastMosi >= 0)
                    ASSERT_GE(t - lastMosi, half) << "MOSI setup at " << clockDelay << " ms";
                lastSck = t;
            }
            if (changed & PinRts)
                lastMosi = t;
        }
        EXPECT_EQ(edges, 9 * 24 * 2) << "Programming Enable and the presence test, all sent";
    }
}

} // namespace
