// The ftdi port with its libftdi driver on the model of a cable on a USB bus (sim/ftdi_bus.h): a
// target that keeps talking, the terminal's bytes across operations, the rate measurement under
// completion jitter and load, host waits, the chip's terminal device held open, an unplug and a
// cancel that never comes back. Everything runs on the bus's virtual clock.
#include "fake_sysfs.h"
#include "ftdi/ftdi_port.h"
#include "ftdi/ftdi_tty.h"
#include "ftdi/libftdi_driver.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "settings/settings.h"
#include "sim/ftdi_bus.h"
#include "sim/virtual_chip.h"
#include "unprivileged.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

TFtdiBus *Clocked = nullptr;
void ClockSleep(int ms) { Clocked->Advance(ms / 1000.0); }
void NoBusyWait(double) { ADD_FAILURE() << "the ftdi port busy-waited through the link's delay"; }

TSettings Quick()
{
    TSettings s;
    s.ResetDelay1 = s.ResetDelay2 = 1.0;
    s.WriteDelay = 3.0;
    return s;
}

// A programmer on the modelled cable with the default wiring: SCL on TXD, MOSI on RTS, RESET on DTR.
struct TBusCable {
    explicit TBusCable(const std::function<void(TFtdiBus &)> &prepare = {}, unsigned seed = 1,
                       const TSettings &settings = Quick())
        : Settings(settings), Bus(std::make_unique<TFtdiBus>(Chip, Settings, seed))
    {
        Clocked = Bus.get();
        if (prepare)
            prepare(*Bus);
        Port = std::make_unique<TFtdiPort>(CreateLibFtdiDriver(*Bus), "ftdi", Settings);
        Link = std::make_unique<TIspLink>(Port->BitBang(), Settings, &NoBusyWait);
        Commands = std::make_unique<TDeviceCommands>(*Link, &ClockSleep);
    }

    bool Open(int baud = 9600)
    {
        const double start = Bus->Seconds();
        const bool opened = Port->Open({baud, 'N', 8, 1});
        OpenSeconds = Bus->Seconds() - start;
        return opened;
    }
    // Programming Enable and the presence test, as an operation begins, and the lines back at rest.
    bool Detect()
    {
        Link->StartProgramming();
        Commands->ProgrammingEnable();
        const bool found = Commands->DetectDevice();
        Link->EndProgramming();
        Link->IdleLines();
        return found;
    }

    TSettings Settings;
    TVirtualChip Chip{TChipKind::AT89S8252};
    std::unique_ptr<TFtdiBus> Bus; // outlives the port, whose close still calls it
    std::unique_ptr<TFtdiPort> Port;
    std::unique_ptr<TIspLink> Link;
    std::unique_ptr<TDeviceCommands> Commands;
    double OpenSeconds = 0;
};

// How much of what the UART heard the terminal missed, when what it showed is what was heard with
// some stretches left out; nullopt when it showed something else or out of order.
std::optional<std::size_t> Missed(const std::string &shown, const std::string &heard)
{
    std::size_t at = 0;
    for (const char c : shown) {
        at = heard.find(c, at);
        if (at == std::string::npos)
            return std::nullopt;
        ++at;
    }
    return heard.size() - shown.size();
}

// libftdi's own read returns only when its buffer is full or the target has been silent for a
// latency period, so a target that prints steadily kept the port in it. Now the open and the start
// of an operation take their usual time whatever the target sends, also from a chip that sends
// nothing at all when it has nothing.
TEST(FtdiBus, ATargetThatKeepsTalkingHoldsUpNeitherTheOpenNorAnOperation)
{
    using TEmpty = TFtdiBus::TEmptyPackets;
    const struct {
        double BytesPerSecond;
        int Baud;
        TEmpty Empty;
    } targets[] = {{70, 9600, TEmpty::Sent}, {960, 9600, TEmpty::Sent}, {11520, 115200, TEmpty::Sent},
                   {960, 9600, TEmpty::Withheld}};
    for (const auto &t : targets) {
        SCOPED_TRACE(testing::Message() << t.BytesPerSecond << " bytes/s, empty packets " << int(t.Empty));
        TBusCable cable([&t](TFtdiBus &bus) {
            bus.EmptyPackets = t.Empty;
            bus.Talk(t.BytesPerSecond, 0, 30); // then silent, so that a port that waits for it ends
        });
        ASSERT_TRUE(cable.Open(t.Baud)) << cable.Port->OpenError();
        EXPECT_LT(cable.OpenSeconds, 1.0);
        cable.Bus->Advance(0.5);
        const double start = cable.Bus->Seconds();
        EXPECT_TRUE(cable.Detect());
        EXPECT_LT(cable.Bus->Seconds() - start, 0.25) << "a presence test takes some 50 ms";
        EXPECT_GT(cable.Port->ReadQueued().size(), 0u);
    }
}

// The terminal polls every 50 ms while the target prints without a pause and an operation runs
// every second: every byte the chip's UART heard reaches the terminal, in order, at every baud rate.
// Under the other readings of the chip (a cancel that loses what its read had, a receive buffer
// emptied at the switch) the bytes that arrive are still the target's, in order, and at most a
// read's worth goes per operation.
TEST(FtdiBus, EveryByteTheUartHeardReachesTheTerminalAcrossOperations)
{
    using TCancelled = TFtdiBus::TCancelled;
    using TSwitch = TFtdiBus::TReceiveAtSwitch;
    const struct {
        TCancelled Cancelled;
        TSwitch AtSwitch;
        std::size_t MostMissedPerOperation;
    } readings[] = {{TCancelled::KeepsData, TSwitch::Kept, 0},
                    {TCancelled::LosesData, TSwitch::Kept, 4 * 62},
                    {TCancelled::KeepsData, TSwitch::Cleared, 62}};
    for (const auto &r : readings)
        for (const int baud : {9600, 38400, 115200}) {
            SCOPED_TRACE(testing::Message() << baud << " Bd, cancelled " << int(r.Cancelled) << ", receive buffer at "
                                            << "the switch " << int(r.AtSwitch));
            TBusCable cable([&](TFtdiBus &bus) {
                bus.Cancelled = r.Cancelled;
                bus.ReceiveAtSwitch = r.AtSwitch;
                bus.Talk(baud / 10.0, 0.05, 3.2);
            });
            ASSERT_TRUE(cable.Open(baud)) << cable.Port->OpenError();
            std::string shown;
            int operations = 0;
            for (int poll = 0; poll < 70; ++poll) {
                cable.Bus->Advance(0.05);
                shown += cable.Port->ReadQueued();
                if (poll % 20 == 10) {
                    EXPECT_TRUE(cable.Detect());
                    ++operations;
                }
            }
            const std::string &heard = cable.Bus->Heard();
            EXPECT_GT(heard.size(), static_cast<std::size_t>(baud / 10 * 2));
            const std::optional<std::size_t> missed = Missed(shown, heard);
            ASSERT_TRUE(missed) << "the terminal showed what the target never sent";
            EXPECT_LE(*missed, r.MostMissedPerOperation * operations) << shown.size() << " of " << heard.size();
            EXPECT_EQ(cable.Bus->LostToOverflow(), 0u);
            EXPECT_FALSE(cable.Port->PortLost()) << cable.Port->LostReason();
        }
}

// Each completion reaches the host on a 1 ms frame and up to 8 ms later still; a loaded machine
// returns from the event handler later again. Every open measures the chip within 3% in under a
// second, for a chip at the documents' rate and one that clocks 16 times slower (asked again).
TEST(FtdiBus, TheRateHoldsWithin3PercentUnderJitterAndLoad)
{
    const struct {
        double Jitter, Load, Frame, Factor;
        double MostSeconds; // the open's
    } buses[] = {{0, 0, 0, 1, 1.0},         {0.004, 0, 0.001, 1, 1.0},   {0.008, 0, 0.001, 1, 1.0},
                 {0.008, 0.008, 0.001, 1, 1.0}, {0.008, 0.004, 0.001, 1 / 16.0, 1.5}};
    for (const auto &b : buses)
        for (unsigned seed = 1; seed <= 6; ++seed) {
            SCOPED_TRACE(testing::Message() << "jitter " << b.Jitter << ", load " << b.Load << ", frame " << b.Frame
                                            << ", factor " << b.Factor << ", seed " << seed);
            TBusCable cable(
                [&b](TFtdiBus &bus) {
                    bus.Jitter = b.Jitter;
                    bus.Load = b.Load;
                    bus.FrameSeconds = b.Frame;
                    bus.RateFactor = b.Factor;
                },
                seed);
            ASSERT_TRUE(cable.Open()) << cable.Port->OpenError();
            EXPECT_NEAR(cable.Port->Rate().Measured, cable.Bus->SampleRate(), 0.03 * cable.Bus->SampleRate());
            EXPECT_NEAR(cable.Bus->SampleRate(), 120000, 0.1 * 120000) << "asked again until near the rate wanted";
            EXPECT_LT(cable.OpenSeconds, b.MostSeconds);
        }
}

// A bus too busy to measure on is refused with a message that says so; a chip faster than asked
// is refused as such even through the jitter, and one within the tolerance is not.
TEST(FtdiBus, RefusesABusTooBusyToMeasureAndAFastChipOnlyWhenSure)
{
    TBusCable busy([](TFtdiBus &bus) { bus.Jitter = 0.300; });
    EXPECT_FALSE(busy.Open());
    EXPECT_EQ(busy.Port->OpenError(), "the sample rate of the FTDI chip (FT232R) could not be measured: its samples "
                                      "came back too unevenly (is the USB bus busy?)");
    for (unsigned seed = 1; seed <= 4; ++seed) {
        TBusCable fast([](TFtdiBus &bus) { bus.Jitter = 0.008, bus.RateFactor = 2; }, seed);
        EXPECT_FALSE(fast.Open());
        EXPECT_EQ(fast.Port->OpenError().rfind("the FTDI chip (FT232R) makes 2", 0), 0u) << fast.Port->OpenError();
        TBusCable near([](TFtdiBus &bus) { bus.Jitter = 0.008, bus.RateFactor = 1.06; }, seed);
        EXPECT_TRUE(near.Open()) << near.Port->OpenError();
    }
}

// The reset waits of an operation are made on the host after the waveform has come back: they sleep
// on the bus's clock instead of busy-waiting through the link's delay (NoBusyWait).
TEST(FtdiBus, HostWaitsSleep)
{
    TSettings settings = Quick();
    settings.ResetDelay1 = 200;
    settings.ResetDelay2 = 100;
    TBusCable cable({}, 1, settings);
    ASSERT_TRUE(cable.Open());
    const std::size_t before = cable.Bus->Sleeps().size();
    cable.Link->StartProgramming();
    cable.Link->PulseReset();
    cable.Link->Flush();
    const std::vector<double> slept(cable.Bus->Sleeps().begin() + static_cast<std::ptrdiff_t>(before),
                                    cable.Bus->Sleeps().end());
    EXPECT_EQ(slept, (std::vector<double>{0.2, 0.2, 0.1}));
}

// A Chip Reset lets the target run from the moment RESET goes: the lines are at rest by then, so the
// cable goes back to UART mode at the start of the second reset delay, whether or not the chip keeps
// its modem lines and latch across the switch. The switch itself takes a few frames, whose talk is
// lost; before, the whole delay's was.
TEST(FtdiBus, TheTargetsFirstWordsAfterAChipResetArrive)
{
    using TModem = TFtdiPins::TModemReading;
    using TLatch = TFtdiPins::TLatchReading;
    for (const TModem modem : {TModem::Kept, TModem::Dropped})
        for (const TLatch latch : {TLatch::Taken, TLatch::Ignored}) {
            SCOPED_TRACE(testing::Message() << "modem " << int(modem) << ", latch " << int(latch));
            TSettings settings = Quick();
            settings.ResetDelay1 = settings.ResetDelay2 = 100;
            TBusCable cable(
                [&](TFtdiBus &bus) {
                    bus.Pins.ModemInBitBang = modem;
                    bus.Pins.LatchWhileInput = latch;
                },
                1, settings);
            ASSERT_TRUE(cable.Open()) << cable.Port->OpenError();
            cable.Link->StartProgramming(); // what the chip reset operation does, start to end
            cable.Bus->Talk(1000, 0, 0.3); // from now on, while RESET lets it
            cable.Link->PulseReset();
            cable.Link->IdleLines();
            cable.Bus->Advance(0.3);
            const std::string shown = cable.Port->ReadQueued();
            EXPECT_LE(cable.Bus->LostInBitBang(), 15u) << "some 10 ms of the switch, not the 100 ms delay";
            EXPECT_GT(shown.size(), 150u);
            EXPECT_EQ(Missed(shown, cable.Bus->Heard()), std::optional<std::size_t>(0));
        }
}

// Detaching the kernel's driver hangs up a program that has the chip's ttyUSB open: the open is
// refused then. A process whose descriptors cannot be read is said to be unchecked; nothing is
// looked at when no ttyUSB belongs to the chip.
TEST(FtdiBus, TheChipsTerminalDeviceHeldOpenIsFoundOrSaidUnchecked)
{
    TFakeSysfs tree;
    tree.AddUsb({"ttyUSB0", "ftdi_sio", "0403", "6001", "KV10001"}); // bus 1, address 7, as the bus model's chip
    const std::filesystem::path top = std::filesystem::path(tree.Sys()).parent_path();
    const std::filesystem::path proc = top / "proc";
    std::filesystem::create_directories(proc / "100/fd");
    std::filesystem::create_directories(proc / "200/fd");
    std::filesystem::create_symlink("/dev/null", proc / "100/fd/0");
    std::filesystem::permissions(top, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec);
    auto onTree = [&](TFtdiBus &bus) {
        bus.Sysfs = tree.Sys();
        bus.Proc = proc.string();
    };
    {
        std::filesystem::permissions(proc / "200/fd", std::filesystem::perms::none);
        const TUnprivileged nobody;
        TBusCable cable(onTree);
        ASSERT_TRUE(cable.Open()) << cable.Port->OpenError();
        EXPECT_NE(FtdiRateLine(cable.Port->Rate())
                      .find("\nFTDI chip FT232R: could not see whether 1 process of other users had /dev/ttyUSB0 open"),
                  std::string::npos)
            << FtdiRateLine(cable.Port->Rate());
    }
    std::filesystem::permissions(proc / "200/fd", std::filesystem::perms::owner_all);
    std::filesystem::create_symlink("/dev/ttyUSB0", proc / "200/fd/4");
    TBusCable held(onTree);
    EXPECT_FALSE(held.Open());
    EXPECT_EQ(held.Port->OpenError(), "busy: /dev/ttyUSB0 is open in another program");

    TFakeSysfs other;
    other.AddUsb({"ttyUSB0", "pl2303", "067b", "2303"});
    EXPECT_EQ(FtdiTtyUsers(1, 7, 0, other.Sys(), "/nonexistent").Unseen, 0) << "nothing to look for";
    EXPECT_EQ(FtdiTtyUsers(1, 7, 0, tree.Sys(), "/nonexistent").Unseen, -1);
    EXPECT_EQ(TtyUsersWarning(FtdiTtyUsers(1, 7, 0, tree.Sys(), "/nonexistent")),
              "could not see whether the processes had /dev/ttyUSB0 open: such a program has lost the device while "
              "Korvel holds the cable");
}

// The cable pulled out while the terminal listens is named as such. A chip that stops answering and
// then never gives back the cancelled transfer holds its interface in this process: a reopen says
// so rather than blame another program, and works once the cable is plugged in again.
TEST(FtdiBus, AnUnplugAndACancelThatNeverComesBackAreNamed)
{
    TBusCable unplugged;
    ASSERT_TRUE(unplugged.Open());
    unplugged.Bus->Advance(0.1);
    unplugged.Bus->Unplug();
    unplugged.Port->ReadQueued();
    EXPECT_TRUE(unplugged.Port->PortLost());
    EXPECT_EQ(unplugged.Port->LostReason(), "the FTDI device ftdi stopped answering: the cable was unplugged");

    TBusCable stuck;
    ASSERT_TRUE(stuck.Open());
    stuck.Link->StartProgramming();
    stuck.Link->Flush();
    stuck.Bus->Cancelled = TFtdiBus::TCancelled::NeverComes;
    stuck.Bus->WedgeAfter(0);
    EXPECT_FALSE(stuck.Detect());
    EXPECT_EQ(stuck.Port->LostReason().rfind("the FTDI device ftdi stopped answering: no answer within 0.", 0), 0u)
        << stuck.Port->LostReason();
    EXPECT_FALSE(stuck.Open());
    EXPECT_EQ(stuck.Port->OpenError(), "the FTDI device never gave back a transfer that was cancelled when it stopped "
                                       "answering: plug the cable in again");
    stuck.Bus->Unplug();
    stuck.Bus->Advance(1.0);
    stuck.Bus->PlugIn();
    stuck.Bus->Cancelled = TFtdiBus::TCancelled::KeepsData;
    ASSERT_TRUE(stuck.Open()) << stuck.Port->OpenError();
    EXPECT_TRUE(stuck.Bus->Parked.empty()) << "what was given up on is freed";
    EXPECT_TRUE(stuck.Detect());
}

// The bus's other readings: an H-series chip's 512-byte packets, and a chip that drives a byte
// before it reads the pins (its samples do not run one behind): the first stays usable, the second
// is caught at the first line change instead of reading wrong bytes.
TEST(FtdiBus, OtherChipsPacketsAndEcho)
{
    TBusCable high([](TFtdiBus &bus) { bus.PacketSize = 512; });
    ASSERT_TRUE(high.Open()) << high.Port->OpenError();
    EXPECT_NEAR(high.Port->Rate().Measured, 120000, 3600);
    EXPECT_TRUE(high.Detect());

    TBusCable same([](TFtdiBus &bus) { bus.Pins.Echo = TFtdiPins::TEchoReading::Same; });
    ASSERT_TRUE(same.Open()) << same.Port->OpenError();
    EXPECT_FALSE(same.Detect());
    EXPECT_EQ(same.Port->LostReason(), "the FTDI cable's samples came back out of step");
}

} // namespace
