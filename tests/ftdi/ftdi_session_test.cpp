// The ftdi port as the programs use it, on the fake cable: every operation against the serial back
// end, the terminal's UART between operations, the line levels across the mode switches under every
// reading of the chip, and the faults.
#include "operation_outcome.h"
#include "app/port_kinds.h"
#include "ftdi/ftdi_port.h"
#include "link/adapter_presets.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "prog/port_session.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

namespace {

// The fake's clock is virtual where a test says so: the presence test's sleeps need not pass.
void NoSleep(int) {}

class FtdiSessionTest : public testing::Test {
protected:
    FtdiSessionTest()
    {
        Settings.PortName = "ftdi:s:0x0403:0x6001:KV1@A";
        Com.SetShowErrors(false);
        Session.SetFtdiDrivers([this] {
            auto fake = std::make_unique<TFtdiFake>(Chip, Settings);
            Fake = fake.get();
            return fake;
        });
        PrepareChip(Chip);
    }

    std::string Open()
    {
        std::string error;
        return Session.Open({}, error) == TOpenResult::Ok ? std::string() : error;
    }
    void RunOnCable(TOperationCode code, TOutcome &outcome)
    {
        RunOperation(code, Session.Lines(), Settings, outcome, [this] { Session.Drain(); });
    }

    TSettings Settings = QuickSettings();
    TVirtualChip Chip{TChipKind::AT89S8252};
    T_QCCom32 Com;
    const TPortKinds Kinds = StandardPortKinds();
    TPortSession Session{Com, Settings, Kinds};
    TFtdiFake *Fake = nullptr;
};

TEST_F(FtdiSessionTest, EveryOperationLeavesTheChipAsTheSerialBackEndDoes)
{
    struct TCase {
        const char *Name;
        TOperationCode Code;
        std::function<void(TMemoryBuffer &, TVirtualChip &)> Prepare;
    };
    auto range = [](int highest) {
        return [highest](TMemoryBuffer &m, TVirtualChip &) {
            for (std::size_t i = 0; i < BufferSize; ++i)
                m.Buffer[i] = static_cast<std::uint8_t>(i * 3);
            m.HighestAddress = highest;
        };
    };
    const TCase cases[] = {
        {"write code", opWriteCode, range(300)},
        {"fast write", opWriteCodeFast,
         [](TMemoryBuffer &m, TVirtualChip &) {
             m.LastProgrammed = m.Buffer;
             m.Buffer[7] = 0x11;
             m.Buffer[250] = 0x22;
             m.HighestAddress = 255;
         }},
        {"write data", opWriteData, range(200)},
        {"verify code", opVerifyCode, range(400)},
        {"verify data", opVerifyData, range(300)},
        {"read code", opReadCode, nullptr},
        {"read data", opReadData, nullptr},
        {"erase", opChipErase, nullptr},
        {"lock", opWriteLockBits, [](TMemoryBuffer &, TVirtualChip &) {}},
        {"reset", opChipReset, nullptr},
        {"detect, no chip", opVerifyCode, [](TMemoryBuffer &, TVirtualChip &c) { c.SetFault(TChipFault::NoChip); }},
    };
    ASSERT_EQ(Open(), "");
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TVirtualTarget serial(Settings);
        PrepareChip(serial.Chip());
        PrepareChip(Chip);
        TOutcome viaCable, viaSerial;
        viaCable.Status.LockBitsByte = viaSerial.Status.LockBitsByte = 0x67;
        if (c.Prepare) {
            c.Prepare(viaCable.Memory, Chip);
            c.Prepare(viaSerial.Memory, serial.Chip());
        }
        RunOnCable(c.Code, viaCable);
        RunOperation(c.Code, serial.Lines(), Settings, viaSerial);
        ExpectSameEnd(Chip, viaCable, serial.Chip(), viaSerial);
        EXPECT_FALSE(viaCable.Status.PortLost);
        EXPECT_EQ(Chip.Counters().WritesLost, 0u);
    }
    EXPECT_EQ(Fake->Description(), "s:0x0403:0x6001:KV1");
    EXPECT_EQ(Fake->InterfaceIndex(), 1);
}

TEST_F(FtdiSessionTest, AWriteFasterThanTheChipLosesBytesThatVerifyFinds)
{
    ASSERT_EQ(Open(), "");
    Chip.SetWriteCycle(std::chrono::milliseconds(2)); // longer than the 0.05 ms write delay
    TOutcome outcome;
    outcome.Memory.HighestAddress = 63;
    RunOnCable(opWriteCode, outcome);
    EXPECT_GT(Chip.Counters().WritesLost, 0u);
    RunOnCable(opVerifyCode, outcome);
    EXPECT_TRUE(outcome.Status.VerifyDifferences);
    EXPECT_FALSE(outcome.Lines.empty());
}

// The link's line requests, passed on and noted as the pin levels they ask for (a line that is on
// is a low pin behind the cable's transceiver).
class TRequestedPins final : public TLineInterface {
public:
    explicit TRequestedPins(TLineInterface &lines) : Lines(lines) {}

    void SetBreak(bool level) override { Note(FtdiPin::Txd, level), Lines.SetBreak(level); }
    void SetRts(bool level) override { Note(FtdiPin::Rts, level), Lines.SetRts(level); }
    void SetDtr(bool level) override { Note(FtdiPin::Dtr, level), Lines.SetDtr(level); }
    bool GetCTS() override { return Lines.GetCTS(); }
    bool GetDSR() override { return Lines.GetDSR(); }
    bool GetRLSD() override { return Lines.GetRLSD(); }
    bool GetRI() override { return Lines.GetRI(); }
    void QueueSample(int line) override { Lines.QueueSample(line); }
    bool TakeSample() override { return Lines.TakeSample(); }
    void Wait(double ms, TDelay delay) override { Lines.Wait(ms, delay); }
    void Flush() override { Lines.Flush(); }
    bool PortLost() const override { return Lines.PortLost(); }

    std::vector<std::pair<std::uint8_t, bool>> Noted;

private:
    void Note(std::uint8_t pin, bool level) { Noted.emplace_back(pin, !level); }

    TLineInterface &Lines;
};

// A pin's levels with repeats left out.
std::vector<bool> Changes(std::vector<bool> levels)
{
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    return levels;
}

// Between operations the terminal has the UART at its baud rate; each operation takes bit-bang mode
// back. Whichever way the chip treats its latch and the modem control set in bit-bang mode, the
// switches move no line: RESET and SCL change only where the link or the terminal asks, across opens
// (the first one puts the lines at rest), operations, the terminal and a close. The text the
// terminal sends just before an operation leaves as text, not as pin data.
TEST_F(FtdiSessionTest, TheTerminalTalksThroughTheCableAndNoSwitchMovesALine)
{
    using TLatch = TFtdiFake::TLatchReading;
    using TModem = TFtdiFake::TModemReading;
    for (const char *preset : {"", "QZ3NT", "Atmel", "PonyProg"})
        for (const TLatch latch : {TLatch::Taken, TLatch::Ignored})
            for (const TModem modem : {TModem::Kept, TModem::Dropped}) {
                SCOPED_TRACE(testing::Message() << "preset " << preset << ", latch " << int(latch) << ", modem "
                                                << int(modem));
                Settings = QuickSettings();
                Settings.PortName = "ftdi";
                if (*preset)
                    ApplyAdapterPreset(*FindAdapterPreset(preset), Settings);
                Settings.ResetDelay1 = Settings.ResetDelay2 = 0.1;
                Com.SetBaud(19200);
                TVirtualChip chip(TChipKind::AT89S8252);
                PrepareChip(chip);
                TPortSession session(Com, Settings, Kinds);
                session.SetFtdiDrivers([&] {
                    auto fake = std::make_unique<TFtdiFake>(chip, Settings);
                    fake->SetHostTime(false);
                    fake->Pins.LatchWhileInput = latch;
                    fake->Pins.ModemInBitBang = modem;
                    Fake = fake.get();
                    return fake;
                });
                std::string error;
                ASSERT_EQ(session.Open({}, error), TOpenResult::Ok) << error;
                const std::size_t opened = Fake->PinHistory().size();
                TRequestedPins lines(session.Lines());
                auto operation = [&] {
                    TOutcome outcome;
                    outcome.Memory.HighestAddress = -1;
                    TIspLink(lines, Settings).IdleLines();
                    TProgContext context{outcome.Status, outcome.Memory, Settings, lines, outcome,
                                         [&] { session.Drain(); }, &NoSleep};
                    TProgRunner runner(context);
                    ASSERT_TRUE(runner.StartOperation(opVerifyCode));
                    runner.WaitForEnd();
                    EXPECT_TRUE(outcome.Status.DeviceFound);
                    EXPECT_FALSE(Fake->InBitBang()) << "the UART listens once the target runs";
                };
                operation();

                Com.SetEndOfResponse(">");
                Fake->Receive("READY\r\n>");
                std::string answer;
                Com.Read(answer);
                Com.SetEndOfResponse("");
                EXPECT_EQ(answer, "READY\r\n>");
                EXPECT_EQ(Fake->UartBaud(), 19200);
                EXPECT_EQ(Fake->LineParams().Databits, 8);
                if (Settings.Reset_Line != 0) {
                    Com.SetBreak(false); // as the terminal does before sending a key
                    lines.Noted.emplace_back(FtdiPin::Txd, true);
                }
                ASSERT_TRUE(Com.Write("LIST\r\n"));
                operation();
                EXPECT_EQ(Fake->Sent(), "LIST\r\n");
                Com.Close();
                ASSERT_EQ(session.Open({}, error), TOpenResult::Ok) << error;
                operation();
                Com.Close();
                EXPECT_FALSE(Fake->InBitBang());
                EXPECT_FALSE(session.Lines().PortLost());

                const auto &history = Fake->PinHistory();
                for (const int line : {Settings.Reset_Line, Settings.Scl_Line}) {
                    const std::uint8_t pin = std::array{FtdiPin::Txd, FtdiPin::Rts, FtdiPin::Dtr}[line];
                    std::vector<bool> seen;
                    for (const auto &state : history)
                        seen.push_back((state.Pins & pin) != 0);
                    std::vector<bool> asked{seen.front(), seen[opened - 1]}; // at rest after the first open
                    for (const auto &[p, high] : lines.Noted)
                        if (p == pin)
                            asked.push_back(high);
                    EXPECT_EQ(Changes(seen), Changes(asked)) << (line == Settings.Reset_Line ? "RESET" : "SCL");
                }
            }
}

TEST_F(FtdiSessionTest, FaultsEndWithAClearMessageAndKeepTheBuffer)
{
    const struct {
        TFtdiOpenStatus Status;
        const char *Detail;
        const char *Says;
    } refusals[] = {{TFtdiOpenStatus::NotFound, "", "no FTDI device matches s:0x0403:0x6001:KV1"},
                    {TFtdiOpenStatus::AccessDenied, "/dev/bus/usb/001/007", "udev rule"},
                    {TFtdiOpenStatus::Busy, "unable to claim usb device", "in use by another program"},
                    {TFtdiOpenStatus::TtyBusy, "/dev/ttyUSB0", "busy: /dev/ttyUSB0 is open in another program"},
                    {TFtdiOpenStatus::NoBitBang, "FT232BM", "FT232BM) has no synchronous bit-bang mode"}};
    Settings.PortName = "ftdi:s:0x0403:0x6001:KV1";
    for (const auto &r : refusals) {
        TPortSession session(Com, Settings, Kinds);
        session.SetFtdiDrivers([this, &r] {
            auto fake = std::make_unique<TFtdiFake>(Chip, Settings);
            fake->OpenAnswer = {r.Status, r.Detail};
            return fake;
        });
        std::string error;
        EXPECT_EQ(session.Open({}, error), TOpenResult::PortError);
        EXPECT_NE(error.find("cannot open FTDI device ftdi:s:0x0403:0x6001:KV1: "), std::string::npos) << error;
        EXPECT_NE(error.find(r.Says), std::string::npos) << error;
    }

    // Pulled out in the middle of a read, then of a write: each ends at once and keeps the buffer.
    for (const TOperationCode code : {opReadCode, opWriteCode}) {
        TOutcome outcome;
        outcome.Memory.Buffer.fill(0x5A);
        outcome.Memory.LastProgrammed.fill(0xA5);
        outcome.Memory.WholeDevice = true;
        ASSERT_EQ(Open(), "");
        Fake->UnplugAfter(8); // the presence test and a little more
        RunOnCable(code, outcome);
        EXPECT_TRUE(outcome.Status.PortLost);
        EXPECT_EQ(FinishMessage(outcome.Status).Text, "The port stopped answering during the operation !");
        EXPECT_TRUE(std::all_of(outcome.Memory.Buffer.begin(), outcome.Memory.Buffer.end(),
                                [](std::uint8_t b) { return b == 0x5A; }));
        EXPECT_TRUE(std::all_of(outcome.Memory.LastProgrammed.begin(), outcome.Memory.LastProgrammed.end(),
                                [](std::uint8_t b) { return b == 0xA5; }));
        EXPECT_EQ(Session.TakeLostReason(), "the FTDI device ftdi:s:0x0403:0x6001:KV1 stopped answering: the cable was unplugged");
        EXPECT_EQ(Session.TakeLostReason(), "") << "said once";
    }
}

} // namespace
