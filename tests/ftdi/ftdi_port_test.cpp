// The ftdi port on the fake cable: names, the chip's sample order, batching, waits and the clock
// delay's half periods, the measured sample rate, the checked echo, timeouts, the exact sample MISO
// is read from, and chips that open in a state or with pins the port cannot use as they are.
#include "fake_sysfs.h"
#include "ftdi/ftdi_port.h"
#include "ftdi/ftdi_tty.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/virtual_serial.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_chip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// The fake's clock is virtual: the port's host waits (which sleep on the driver's clock rather than
// busy-wait through the link's delay) and the presence test's sleeps move it.
TFtdiFake *FakeClocked = nullptr;
void FakeNoBusyWait(double) { ADD_FAILURE() << "the ftdi port busy-waited through the link's delay"; }
void FakeClockSleep(int ms) { FakeClocked->Advance(ms / 1000.0); }

constexpr std::uint8_t PinTxd = FtdiPin::Txd, PinRts = FtdiPin::Rts, PinDtr = FtdiPin::Dtr;

TSettings FakeQuick(double clockDelay = 0.0)
{
    TSettings s;
    s.ResetDelay1 = s.ResetDelay2 = 0.0;
    s.ClockDelay = clockDelay;
    return s;
}

// A programmer on the fake cable with the default wiring: SCL on TXD, MOSI on RTS, RESET on DTR.
struct TFakeCable {
    explicit TFakeCable(TSettings settings, const std::function<void(TFtdiFake &)> &prepare = {},
                    const std::string &name = "ftdi")
        : Settings(settings)
    {
        auto fake = std::make_unique<TFtdiFake>(Chip, Settings);
        Fake = FakeClocked = fake.get();
        Fake->SetHostTime(false);
        if (prepare)
            prepare(*Fake);
        Port = std::make_unique<TFtdiPort>(std::move(fake), name, Settings);
        Link = std::make_unique<TIspLink>(Port->BitBang(), Settings, &FakeNoBusyWait);
        Commands = std::make_unique<TDeviceCommands>(*Link, &FakeClockSleep);
        Opened = Port->Open({9600, 'N', 8, 1});
    }
    explicit TFakeCable(double clockDelay = 0.0) : TFakeCable(FakeQuick(clockDelay)) {}

    // Programming Enable and the presence test, as an operation begins.
    bool Detect()
    {
        Link->StartProgramming();
        Commands->ProgrammingEnable();
        return Commands->DetectDevice();
    }

    TSettings Settings;
    TVirtualChip Chip{TChipKind::AT89S8252};
    TFtdiFake *Fake = nullptr;
    std::unique_ptr<TFtdiPort> Port;
    std::unique_ptr<TIspLink> Link;
    std::unique_ptr<TDeviceCommands> Commands;
    bool Opened = false;
};

TEST(FtdiNames, NamesRatesAndListingLines)
{
    const struct {
        const char *Name;
        const char *Description;
        int Interface;
        bool Ttl;
    } names[] = {{"ftdi", "", 0, false},
                 {"ftdi@b", "", 2, false},
                 {"ftdi:i:0x0403:0x6010@D", "i:0x0403:0x6010", 4, false},
                 {"ftdi:s:0x0403:0x6001:A5@Z", "s:0x0403:0x6001:A5@Z", 0, false},
                 {"ftdi:d:001/005", "d:001/005", 0, false},
                 {"ftdi-ttl", "", 0, true},
                 {"ftdi-ttl:s:0x0403:0x6015:X1@A", "s:0x0403:0x6015:X1", 1, true}};
    for (const auto &n : names) {
        EXPECT_TRUE(IsFtdiPortName(n.Name)) << n.Name;
        EXPECT_EQ(ParseFtdiName(n.Name).Description, n.Description) << n.Name;
        EXPECT_EQ(ParseFtdiName(n.Name).Interface, n.Interface) << n.Name;
        EXPECT_EQ(ParseFtdiName(n.Name).Ttl, n.Ttl) << n.Name;
    }
    for (const char *other : {"sim", "sim-ftdi", "/dev/ttyUSB0", "ftdix", "ftdi-ttlx"})
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

// Detaching ftdi_sio would hang up a program reading the chip's terminal device; the tree's device
// sits at bus 1, address 7.
TEST(FtdiTty, FindsTheChipsTerminalDeviceAndWhoHoldsItOpen)
{
    TFakeSysfs tree;
    tree.AddUsb({"ttyUSB1", "ftdi_sio", "0403", "6010", "FT2X", 1, 2});
    const std::string sys = tree.Sys();
    EXPECT_EQ(FtdiTtys(1, 7, 1, sys), std::vector<std::string>{"ttyUSB1"});
    EXPECT_EQ(FtdiTtys(1, 7, -1, sys), std::vector<std::string>{"ttyUSB1"});
    EXPECT_TRUE(FtdiTtys(1, 7, 0, sys).empty()) << "interface A has no terminal device here";
    EXPECT_TRUE(FtdiTtys(1, 8, 1, sys).empty());

    const std::filesystem::path proc = std::filesystem::path(sys).parent_path() / "proc";
    std::filesystem::create_directories(proc / "4711/fd");
    std::filesystem::create_directories(proc / "self/fd"); // not a process number
    std::filesystem::create_symlink("/dev/ttyUSB1", proc / "self/fd/3");
    EXPECT_EQ(FtdiTtyUsers(1, 7, 1, sys, proc.string()).InUse, "");
    std::filesystem::create_symlink("/dev/ttyUSB1", proc / "4711/fd/5");
    EXPECT_EQ(FtdiTtyUsers(1, 7, 1, sys, proc.string()).InUse, "/dev/ttyUSB1");
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
    ASSERT_TRUE(fake.Transfer(out, in, 3, 1.0));
    EXPECT_EQ(in[0] & 0x15, 0x00) << "the latch starts at 00";
    EXPECT_EQ(in[1] & 0x15, 0x15);
    EXPECT_EQ(in[2] & 0x15, 0x00);
}

TEST(FtdiPort, ReadsSentAheadComeBackInOneTransfer)
{
    TFakeCable cable;
    ASSERT_TRUE(cable.Opened) << cable.Port->OpenError();
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

// While RESET holds the target, waits are idle samples up to 20 ms and a send and a host wait beyond;
// once the lines are at rest, a wait hands the chip to the UART, where what the target sends is kept.
TEST(FtdiPort, WaitsBecomeIdleSamplesOrASendAndAHostWait)
{
    TFakeCable cable;
    cable.Link->StartProgramming();
    const std::int64_t start = cable.Port->WaveformMicroseconds();
    cable.Link->Wait(0.0);
    cable.Link->Wait(0.005); // within the sample the change already lasts
    EXPECT_EQ(cable.Port->WaveformMicroseconds(), start);
    cable.Link->Wait(3.0);
    const std::int64_t idle = cable.Port->WaveformMicroseconds() - start;
    EXPECT_GE(idle, 3000 - 9);
    EXPECT_LE(idle, 3000 + 9);
    const TFtdiStats queued = cable.Port->Stats();
    EXPECT_TRUE(cable.Fake->Sleeps().empty()) << "a write delay needs no round trip";

    cable.Link->Wait(200.0);
    const TFtdiStats sent = cable.Port->Stats();
    EXPECT_EQ(sent.Transfers, queued.Transfers + 1);
    EXPECT_EQ(cable.Fake->Sleeps(), std::vector<double>{0.2});
    EXPECT_TRUE(cable.Fake->InBitBang());

    cable.Link->EndProgramming();
    EXPECT_TRUE(cable.Fake->InBitBang()) << "SCL and MOSI are not at rest yet";
    cable.Link->IdleLines();
    EXPECT_FALSE(cable.Fake->InBitBang());
}

// Every SCK half period and every MOSI setup before a rising edge lasts at least half the clock
// delay, on the chip's own clock, and the chip still answers. (Beyond the chip's slowest rate, the
// link's own waits make the half periods; the SCK low before a received byte has none.)
TEST(FtdiPort, ClockDelaySetsTheHalfPeriods)
{
    for (const double clockDelay : {0.0, 0.05, 0.4, 0.6}) {
        TFakeCable cable(clockDelay);
        const std::size_t opened = cable.Fake->PinHistory().size();
        EXPECT_TRUE(cable.Detect()) << clockDelay;
        cable.Link->EndProgramming();
        EXPECT_EQ(cable.Port->Rate().Asked, BitBangRateFor(clockDelay).SampleRate);
        const double half = std::max(clockDelay / 2000.0, 1.0 / DefaultSampleRate) - 1e-9;
        const auto &history = cable.Fake->PinHistory();
        double lastSck = -1, lastMosi = -1;
        int edges = 0;
        for (std::size_t i = opened; i < history.size(); ++i) {
            const auto changed = static_cast<std::uint8_t>(history[i].Pins ^ history[i - 1].Pins);
            const double t = history[i].Seconds;
            if (changed & PinTxd) {
                ++edges;
                if (lastSck >= 0) {
                    ASSERT_GE(t - lastSck, half) << "SCK at " << clockDelay << " ms";
                }
                const bool rising = !(history[i].Pins & PinTxd); // break on: SCL high
                if (rising && lastMosi >= 0) {
                    ASSERT_GE(t - lastMosi, half) << "MOSI setup at " << clockDelay << " ms";
                }
                lastSck = t;
            }
            if (changed & PinRts)
                lastMosi = t;
        }
        // The erased chip's byte 0 shows one level only: the presence test reads bytes 1 to 7 and the last too.
        EXPECT_EQ(edges, 1 + (9 + LevelProbeBytes) * 24 * 2)
            << "SCL low from rest, Programming Enable and the presence test";
    }
}

// Chips that make fewer samples than the documents' fastest reading are asked for more, so that an
// operation still takes barely longer than its waits; one that makes more is refused, as its waits
// would be too short. A chip that pauses because USB cannot keep up is not asked for more: that
// would only shorten its samples between the pauses.
TEST(FtdiPort, TheSampleRateIsMeasuredAndWaitsFollowIt)
{
    TSettings settings = FakeQuick();
    settings.ResetDelay1 = settings.ResetDelay2 = 10.0;
    settings.WriteDelay = 3.0;
    TFakeCable paused(settings, [](TFtdiFake &fake) { fake.UsbSamplesPerSecond = 80000; });
    ASSERT_TRUE(paused.Opened);
    EXPECT_EQ(paused.Port->Rate().LibFtdiBaud, 1875);
    EXPECT_NEAR(paused.Port->Rate().Measured, 80000, 800);
    EXPECT_TRUE(paused.Detect());
    TFakeCable fast(settings, [](TFtdiFake &fake) { fake.RateFactor = 2; });
    EXPECT_FALSE(fast.Opened);
    EXPECT_EQ(fast.Port->OpenError(), "the FTDI chip (FT232R) makes 240000 samples/s where 120000 were asked for: its "
                                      "samples are too short for the waits the chip needs, so the cable is not used");
    for (const double factor : {1.0, 1 / 4.0, 1 / 16.0, 1 / 64.0}) {
        SCOPED_TRACE(factor);
        TFakeCable cable(settings, [factor](TFtdiFake &fake) { fake.RateFactor = factor; });
        ASSERT_TRUE(cable.Opened) << cable.Port->OpenError();
        EXPECT_NEAR(cable.Port->Rate().Measured, 120000, 1200);
        ASSERT_TRUE(cable.Detect());
        const auto start = cable.Fake->Now();
        constexpr int bytes = 128;
        for (int address = 0; address < bytes; ++address)
            cable.Commands->WriteCodeByte(static_cast<std::uint16_t>(address), static_cast<std::uint8_t>(address));
        cable.Link->EndProgramming();
        const std::chrono::duration<double> took = cable.Fake->Now() - start;
        EXPECT_LE(took.count() / ((bytes * 3 + 10 + 10) / 1000.0), 1.15) << "the bytes' and the two reset delays";
        EXPECT_EQ(cable.Chip.Contents().Code[bytes - 1], bytes - 1);
        EXPECT_EQ(cable.Chip.Counters().WritesLost, 0u);
    }
}

// Each sample echoes the outputs written one sample before: a sample added or lost on the way, or a
// line shorted, ends the operation with a message, never with wrong bytes. A chip that stops
// answering (not unplugged) ends a transfer after its samples' time and a margin instead of hanging.
TEST(FtdiPort, SamplesOutOfStepOrNoAnswerStopTheOperation)
{
    const char *outOfStep = "the FTDI cable's samples came back out of step";
    const struct {
        const char *Name, *Reason; // how the message begins
        std::function<void(TFtdiFake &)> Fault;
    } faults[] = {
        {"a sample added", outOfStep, [](TFtdiFake &f) { f.AddSample(0, 40); }},
        {"a sample lost", outOfStep, [](TFtdiFake &f) { f.DropSample(0, 40); }},
        {"RTS shorted low", outOfStep, [](TFtdiFake &f) { f.Pins.ShortPin(PinRts, false); }},
        {"wedged", "the FTDI device ftdi stopped answering: no answer within ", [](TFtdiFake &f) { f.WedgeAfter(0); }},
    };
    for (const auto &[name, reason, fault] : faults) {
        SCOPED_TRACE(name);
        TFakeCable cable;
        ASSERT_TRUE(cable.Opened);
        cable.Link->StartProgramming();
        cable.Link->Flush();
        fault(*cable.Fake);
        EXPECT_FALSE(cable.Detect());
        EXPECT_TRUE(cable.Port->PortLost());
        EXPECT_EQ(cable.Port->LostReason().rfind(reason, 0), 0u) << cable.Port->LostReason();
        EXPECT_GT(cable.Fake->Timeouts().back(), 0.5);
        EXPECT_LT(cable.Fake->Timeouts().back(), 1.0);
    }
}

// MISO is the sample taken just before SCL falls: with half periods of idle samples as with half
// periods the host waits, only an input that is on at exactly that sample reads as a 1.
TEST(FtdiPort, MisoIsTheSampleJustBeforeTheFallingEdge)
{
    for (const double clockDelay : {0.0, 50.0}) {
        for (const int offset : {-1, 0, 1}) {
            SCOPED_TRACE(testing::Message() << clockDelay << " ms, sample " << offset);
            TFakeCable cable(clockDelay);
            cable.Link->StartProgramming();
            cable.Link->SetMosi(false);
            cable.Link->Flush();
            // SCL high is the next sample; a half period of ClockDelay 0 adds none, one of 25 ms is
            // made on the host after one sample more; then the MISO sample follows.
            const std::uint64_t at = cable.Fake->Samples() + (clockDelay > 0 ? 2 : 1) + offset;
            cable.Fake->Pins.ScriptInput(0, [at](std::uint64_t sample) { return sample == at; });
            cable.Link->SclHigh();
            cable.Link->Wait(clockDelay / 2);
            EXPECT_EQ(cable.Link->ReadMiso(), offset == 0);
            EXPECT_EQ(cable.Fake->Sleeps().size(), clockDelay > 0 ? 1u : 0u);
        }
    }
}

// A chip left in bit-bang mode by a killed process or a lost port, with libftdi's context still
// believing in bit-bang mode, is a UART again after the next open: text leaves as text at the baud
// rate asked for, and no line moves.
TEST(FtdiPort, OpenResetsAChipLeftInBitBang)
{
    const std::pair<const char *, std::function<void(TFakeCable &)>> leftovers[] = {
        {"a killed process", [](TFakeCable &c) { c.Fake->LeaveInBitBang(0x15, 0x10); }},
        {"a lost port", [](TFakeCable &c) { c.Link->StartProgramming(), c.Fake->UnplugAfter(0), c.Link->Flush(); }},
    };
    for (const auto &[name, leave] : leftovers) {
        SCOPED_TRACE(name);
        TFakeCable cable;
        leave(cable);
        ASSERT_TRUE(cable.Port->Open({19200, 'N', 8, 1})) << cable.Port->OpenError();
        const std::size_t states = cable.Fake->PinHistory().size();
        EXPECT_TRUE(cable.Port->Write("PRINT 1\r"));
        EXPECT_EQ(cable.Fake->Sent(), "PRINT 1\r");
        EXPECT_EQ(cable.Fake->UartBaud(), 19200);
        EXPECT_EQ(cable.Fake->PinHistory().size(), states);
    }
}

// The terminal may take the UART in the middle of an operation (during a chip reset): the lines
// keep the levels the link left, whether or not the chip kept the modem control it was told in
// bit-bang mode.
TEST(FtdiPort, TheUartTakesOverAtTheLinksLevels)
{
    for (const auto modem : {TFtdiFake::TModemReading::Kept, TFtdiFake::TModemReading::Dropped}) {
        TFakeCable cable(FakeQuick(), [modem](TFtdiFake &fake) { fake.Pins.ModemInBitBang = modem; });
        cable.Link->StartProgramming(); // SCL low, MOSI low, RESET active: TXD, RTS high, DTR low
        ASSERT_TRUE(cable.Port->Write("x"));
        EXPECT_FALSE(cable.Fake->InBitBang());
        EXPECT_EQ(cable.Fake->PinHistory().back().Pins, PinTxd | PinRts);
    }
}

// The program behind the cable's UART pins, as a stub: what it sends waits in Outgoing.
struct TProgramStub : TVirtualSerial {
    void PortOpened(bool) override {}
    void SetBaud(int) override {}
    void Write(const std::string &bytes) override { Heard += bytes; }
    std::string ReadQueued() override { return std::exchange(Outgoing, {}); }
    int InCount() override { return static_cast<int>(Outgoing.size()); }
    std::string Problem() const override { return {}; }
    std::string Failure() const override { return {}; }
    std::string Heard, Outgoing;
};

// What the target's program sends while the cable is in bit-bang mode is lost, as a cable loses it;
// in UART mode it reaches the port, and what the port writes reaches the program.
TEST(FtdiPort, TheProgramBehindTheCableIsHeardOnlyInUartMode)
{
    TProgramStub program;
    TFakeCable cable(FakeQuick(), [&program](TFtdiFake &fake) { fake.SetPeer(&program); });
    ASSERT_TRUE(cable.Opened);
    EXPECT_TRUE(cable.Detect());
    program.Outgoing = "lost";
    cable.Link->EndProgramming();
    EXPECT_TRUE(cable.Fake->InBitBang());
    EXPECT_EQ(cable.Fake->BytesLost(), 4u);
    ASSERT_TRUE(cable.Port->Write("hi\r"));
    program.Outgoing = "Korvel ready\r\n";
    EXPECT_EQ(cable.Port->ReadQueued(), "Korvel ready\r\n");
    EXPECT_EQ(program.Heard, "hi\r");
}

// Pins the chip lacks, or inverts in its EEPROM, cannot serve the wiring; a TTL-level cable carries
// every level the other way round and works when named so.
TEST(FtdiPort, TheCableMustServeTheWiring)
{
    const struct {
        const char *Chip;
        std::uint8_t Pins, Inverted;
        int Scl, Mosi, Reset, Miso;
        const char *Says; // empty: opens
    } cases[] = {
        {"FT230X", 0x0F, 0, 0, 1, 2, 0, "the FT230X has no DTR pin, which the settings wire to RESET: choose another line"},
        {"FT230X", 0x0F, 0, 1, 9, 0, 1, "the FT230X has no DSR pin, which the settings wire to MISO"},
        {"FT230X", 0x0F, 0, 1, 9, 0, 0, ""},
        {"FT232R", 0xFF, FtdiPin::Rts, 0, 1, 2, 0, "the FT232R's EEPROM inverts the RTS pin, which the settings wire to MOSI"},
        {"FT232R", 0xFF, FtdiPin::Rxd, 0, 1, 2, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Says);
        TSettings settings = FakeQuick();
        settings.Scl_Line = c.Scl;
        settings.Mosi_Line = c.Mosi;
        settings.Reset_Line = c.Reset;
        settings.Miso_Line = c.Miso;
        TFakeCable cable(settings, [&c](TFtdiFake &fake) {
            fake.OpenAnswer.Chip = c.Chip;
            fake.OpenAnswer.Pins = c.Pins;
            fake.OpenAnswer.Inverted = c.Inverted;
        });
        EXPECT_EQ(cable.Opened, *c.Says == '\0');
        EXPECT_EQ(cable.Port->OpenError().rfind(c.Says, 0), 0u) << cable.Port->OpenError();
        EXPECT_FALSE(cable.Fake->IsOpen() && !cable.Opened);
    }

    TFakeCable ttl(FakeQuick(), [](TFtdiFake &fake) { fake.Pins.Ttl = true; }, "ftdi-ttl");
    ASSERT_TRUE(ttl.Opened);
    EXPECT_TRUE(ttl.Detect());
    EXPECT_EQ(ttl.Fake->PinHistory().back().Pins & PinDtr, PinDtr) << "RESET active: DTR on, a high TTL pin";
    TFakeCable wrong(FakeQuick(), [](TFtdiFake &fake) { fake.Pins.Ttl = true; });
    EXPECT_FALSE(wrong.Detect());
}

} // namespace
