// The AT89S51 and AT89S52 by their datasheets, through the programming thread, on a virtual clock
// that only the operation's waits, sleeps and line requests move: how many writes a chip slower than
// its datasheet loses follows from the waits alone, and the erase takes its 500 ms without a test
// waiting for it.
#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The lines' own time, in ms: each line request costs RequestMs, each wait what it asks.
double ClockMs = 0;
void ClockedSleep(int ms)
{
    ClockMs += ms;
}

class TClockedLines : public TImmediateLines {
public:
    explicit TClockedLines(TVirtualAdapter &adapter) : Adapter(adapter) {}

    void SetBreak(bool level) override { Request(), Adapter.SetBreak(level); }
    void SetRts(bool level) override { Request(), Adapter.SetRts(level); }
    void SetDtr(bool level) override { Request(), Adapter.SetDtr(level); }
    bool GetCTS() override { return Request(), Adapter.GetCTS(); }
    bool GetDSR() override { return Request(), Adapter.GetDSR(); }
    bool GetRLSD() override { return Request(), Adapter.GetRLSD(); }
    bool GetRI() override { return Request(), Adapter.GetRI(); }
    void Wait(double ms, TDelay) override
    {
        ClockMs += ms;
        if (ms > 0)
            Waits.push_back(ms);
    }

    double RequestMs = 0;
    std::vector<double> Waits;

private:
    void Request() { ClockMs += RequestMs; }
    TVirtualAdapter &Adapter;
};

struct TSteps : TProgUi {
    void ClearDifferences() override { Lines.clear(); }
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override
    {
        Lines.push_back(DifferenceLine(address, buffer, device));
    }
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}
    std::vector<std::string> Lines;
};

std::uint8_t Firmware(std::size_t i)
{
    return i % 7 == 0 ? 0xFF : static_cast<std::uint8_t>(i * 11 + 3);
}

class FourByteChipTest : public testing::Test {
protected:
    FourByteChipTest()
    {
        ClockMs = 0;
        Settings.Device = 3; // AT89S52
        Settings.ResetDelay1 = Settings.ResetDelay2 = 1;
        Settings.WriteDelay = 3;
        Chip.SetClock([this] {
            return Start + std::chrono::duration_cast<TVirtualChip::TClock::duration>(
                               std::chrono::duration<double, std::milli>(ClockMs));
        });
        for (std::size_t i = 0; i < BufferSize; ++i)
            Memory.Buffer[i] = Firmware(i);
        Memory.HighestAddress = 299;
    }

    void Run(TOperationCode code)
    {
        TProgContext context{Status, Memory, Settings, Lines, Steps, nullptr, &ClockedSleep, [] { return ClockMs; }};
        TProgRunner runner(context);
        ASSERT_TRUE(runner.StartOperation(code));
        runner.WaitForEnd();
    }

    void Lock(std::uint8_t lockBitsByte)
    {
        Status.LockBitsByte = lockBitsByte;
        Run(opWriteLockBits);
    }

    std::uint64_t Decoded(TInstruction kind) const { return Chip.Counters().DecodedOf(kind); }
    bool ChipHoldsTheFirmware() const
    {
        const std::vector<std::uint8_t> &code = Chip.Contents().Code;
        for (std::size_t i = 0; i < code.size(); ++i)
            if (code[i] != (i <= 299 ? Firmware(i) : 0xFF))
                return false;
        return true;
    }

    TSettings Settings;
    TVirtualChip Chip{TChipKind::AT89S52};
    TVirtualAdapter Adapter{Chip, Settings};
    TClockedLines Lines{Adapter};
    TMemoryBuffer Memory;
    TProgStatus Status;
    TSteps Steps;
    TVirtualChip::TClock::time_point Start = TVirtualChip::TClock::now();
};

// The lock mode is read from the lock bits, whichever revision the chip follows: in mode 4 it is
// locked, with its signature (2008) or without it (before); a locked chip is found by the presence
// test alone, its memory is neither read nor verified, and a write erases it and goes on.
TEST_F(FourByteChipTest, ALockedChipIsFoundNotReadAndErasedByAWrite)
{
    for (const TFourByteRevision revision : {TFourByteRevision::Before2008, TFourByteRevision::Of2008}) {
        SCOPED_TRACE(revision == TFourByteRevision::Of2008 ? "2008" : "before 2008");
        Chip.SetRevision(revision);
        Run(opWriteCode);
        Lock(0x47); // lock bits 1 and 3: every mode up to 4
        ASSERT_EQ(Chip.Contents().LockBits, 0x07);
        EXPECT_EQ(LockModeOf(Status.Detection.LockBits), 4) << "the mode the chip says it is in now";

        const int highest = Memory.HighestAddress;
        Memory.HighestAddress = -1; // detect: the presence test alone
        Run(opVerifyCode);
        Memory.HighestAddress = highest;
        EXPECT_TRUE(Status.DeviceFound);
        EXPECT_EQ(Status.Detection.Result, TPresence::Locked);
        EXPECT_NE(ChipAnswerText(Status.Detection).find("lock mode 4"), std::string::npos)
            << ChipAnswerText(Status.Detection);

        for (const TOperationCode code : {opReadCode, opVerifyCode}) {
            Run(code);
            EXPECT_FALSE(Status.DeviceFound) << int(code);
            EXPECT_EQ(Status.Detection.Result, TPresence::Locked) << int(code);
            EXPECT_TRUE(Steps.Lines.empty()) << "nothing compared";
        }
        EXPECT_NE(FinishMessage(Status).Text.find("locked in mode 4"), std::string::npos) << FinishMessage(Status).Text;

        const std::uint64_t erases = Decoded(TInstruction::ChipErase);
        Run(opWriteCode);
        EXPECT_TRUE(Status.DeviceFound);
        EXPECT_EQ(Decoded(TInstruction::ChipErase), erases + 1);
        EXPECT_EQ(Chip.Contents().LockBits, 0);
        EXPECT_TRUE(ChipHoldsTheFirmware());
    }
}

// A byte write waits the write cycle of the datasheet, not the Write Delay; every write reads back
// what it wrote by pages. A chip slower than its datasheet loses the bytes sent while it still
// writes: they are written once more with the Write Delay and the write says how many; a chip slower
// than that too ends with its differences, never as a success.
TEST_F(FourByteChipTest, WritesWaitTheWriteCycleAndReadBackWhatTheyWrote)
{
    long written = 0; // the FF bytes stay erased
    for (std::size_t i = 0; i < 300; ++i)
        written += Firmware(i) != 0xFF;
    Run(opWriteCode);
    EXPECT_EQ(std::count(Lines.Waits.begin(), Lines.Waits.end(), 0.5), written);
    EXPECT_EQ(std::count(Lines.Waits.begin(), Lines.Waits.end(), 3.0), 1) << "one wait before the read-back";
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 2u) << "the pages of the bytes written";
    EXPECT_TRUE(Status.WriteVerified);
    EXPECT_EQ(Status.Rewritten, 0);
    EXPECT_FALSE(FinishMessage(Status).Show) << "a write ends silently";
    EXPECT_TRUE(ChipHoldsTheFirmware());
    EXPECT_EQ(Memory.LastProgrammedKnownTo, 299);

    Chip.SetWriteCycle(std::chrono::microseconds(700)); // every other byte is sent too early
    Run(opWriteCode);
    EXPECT_GT(Status.Rewritten, 100);
    EXPECT_EQ(static_cast<std::uint64_t>(Status.Rewritten), Chip.Counters().WritesLost);
    EXPECT_FALSE(Status.VerifyDifferences);
    EXPECT_TRUE(ChipHoldsTheFirmware());
    EXPECT_EQ(FinishMessage(Status).Text, RewrittenText(Status.Rewritten));
    EXPECT_EQ(FinishMessage(Status).Caption, "Note");

    Chip.SetWriteCycle(std::chrono::milliseconds(5)); // slower than the Write Delay as well
    Run(opWriteCode);
    EXPECT_TRUE(Status.VerifyDifferences);
    ASSERT_FALSE(Steps.Lines.empty());
    EXPECT_LT(Steps.Lines.size(), static_cast<std::size_t>(Status.Rewritten));
    const std::vector<std::uint8_t> &code = Chip.Contents().Code;
    for (const std::string &line : Steps.Lines) {
        const int address = std::stoi(line.substr(6, 4), nullptr, 16);
        EXPECT_EQ(line, DifferenceLine(address, Firmware(static_cast<std::size_t>(address)), code[address]));
    }
    EXPECT_TRUE(std::is_sorted(Steps.Lines.begin(), Steps.Lines.end()));
    EXPECT_EQ(FinishMessage(Status).Text, "Found differences during Verify !");
    EXPECT_TRUE(FinishMessage(Status).ShowDifferences);
    EXPECT_EQ(Memory.LastProgrammedKnownTo, -1) << "the chip does not hold the image";
}

// korvel-cli and batch mode write only the bytes the file holds: the rest stays erased, and their
// verify compares the file's bytes. The GUI's buffer is written as it is, 00 and all.
TEST_F(FourByteChipTest, AnUnattendedWriteTouchesOnlyTheFileBytes)
{
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("korvel-tail-" + std::to_string(::getpid()) + ".hex");
    std::ofstream(file) << ":10" "1FF0" "00" "000102030405060708090A0B0C0D0E0F" "E1\n:00000001FF\n";
    Memory.Buffer.fill(0x00);
    ASSERT_TRUE(LoadHexFile(Memory, Settings.Device, file.string(), true, {}).Ok);
    std::filesystem::remove(file);
    ASSERT_EQ(Memory.HighestAddress, 0x1FFF);
    ASSERT_EQ(Memory.FileBytes.count(), 16u);

    Memory.OnlyFileBytes = true;
    Run(opWriteCode);
    const std::vector<std::uint8_t> &code = Chip.Contents().Code;
    EXPECT_EQ(std::count(code.begin(), code.begin() + 0x1FF0, 0xFF), 0x1FF0) << "erased below the file's bytes";
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(code[static_cast<std::size_t>(0x1FF0 + i)], i);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 16u);
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 1u) << "the page of the file's bytes";
    EXPECT_TRUE(Status.WriteVerified);
    EXPECT_FALSE(Status.VerifyDifferences);
    EXPECT_EQ(Memory.LastProgrammed[0], 0xFF) << "what the chip holds";

    Run(opVerifyCode);
    EXPECT_FALSE(Status.VerifyDifferences);
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 2u);

    Memory.OnlyFileBytes = false; // the GUI: the whole range as the buffer holds it
    Run(opVerifyCode);
    EXPECT_EQ(Steps.Lines.size(), 0x1FF0u);
    Settings.Device = 0; // a chip that erases each byte as it writes it gets the buffer as it is
    Memory.OnlyFileBytes = true;
    EXPECT_TRUE(Memory.CodeTouches(0, Settings.Device));
}

// A chip that does not echo Programming Enable is not there: nothing is sent that writes, an erase
// included, and where the settings name an AT89S51/52 the message says that an older chip may be
// there, whose own presence test would write.
TEST_F(FourByteChipTest, WithoutTheEchoNothingIsWrittenOrErased)
{
    TVirtualChip older(TChipKind::AT89S8252);
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    image.Code[0] = 0x02;
    older.SetContents(image);
    TVirtualAdapter olderAdapter(older, Settings);
    TClockedLines olderLines(olderAdapter);
    Chip.SetFault(TChipFault::NoChip);
    for (TLineInterface *lines : {static_cast<TLineInterface *>(&Lines), static_cast<TLineInterface *>(&olderLines)}) {
        for (const TOperationCode code : {opChipErase, opWriteCode, opWriteLockBits, opReadCode, opVerifyCode}) {
            TProgContext context{Status, Memory, Settings, *lines, Steps, nullptr, &ClockedSleep};
            TProgRunner runner(context);
            runner.StartOperation(code);
            runner.WaitForEnd();
            EXPECT_FALSE(Status.DeviceFound) << int(code);
            EXPECT_NE(FinishMessage(Status).Text.find("an AT89S8252 or AT89S53 may be there"), std::string::npos)
                << FinishMessage(Status).Text;
        }
    }
    EXPECT_EQ(older.Contents().Code, image.Code);
    EXPECT_EQ(older.Contents().LockBits, 0);
    EXPECT_EQ(older.Counters().DecodedOf(TInstruction::WriteCode), 0u);
    EXPECT_EQ(older.Counters().DecodedOf(TInstruction::ChipErase), 0u);
}

// The datasheets do not say whether the chip stays in programming mode after Chip Erase: it is asked
// in again and must echo, whichever reading the chip follows; one that no longer answers then gets
// nothing written.
TEST_F(FourByteChipTest, AfterTheEraseProgrammingEnableComesAgain)
{
    for (const bool stays : {true, false}) {
        SCOPED_TRACE(stays ? "stays enabled" : "leaves programming mode");
        Chip.SetStaysEnabledAfterErase(stays);
        const std::uint64_t enables = Decoded(TInstruction::ProgrammingEnable);
        Run(opWriteCode);
        EXPECT_TRUE(ChipHoldsTheFirmware());
        EXPECT_FALSE(Status.VerifyDifferences);
        EXPECT_EQ(Decoded(TInstruction::ProgrammingEnable), enables + 2);
        Run(opChipErase);
        EXPECT_TRUE(Status.DeviceFound);
        EXPECT_EQ(Decoded(TInstruction::ProgrammingEnable), enables + 4);
    }
    // Programming Enable, three signature bytes, the lock bits and the erase: 24 bytes, then silence.
    TVirtualChip silent(TChipKind::AT89S52);
    TVirtualAdapter silentAdapter(silent, Settings);
    TClockedLines silentLines(silentAdapter);
    silent.SetClock([this] {
        return Start + std::chrono::duration_cast<TVirtualChip::TClock::duration>(
                           std::chrono::duration<double, std::milli>(ClockMs));
    });
    silent.StopAnsweringAfter(24);
    TProgContext context{Status, Memory, Settings, silentLines, Steps, nullptr, &ClockedSleep};
    TProgRunner runner(context);
    runner.StartOperation(opWriteCode);
    runner.WaitForEnd();
    EXPECT_FALSE(Status.DeviceFound);
    EXPECT_EQ(Status.Detection.Result, TPresence::SilentAfterErase);
    EXPECT_EQ(FinishMessage(Status).Text,
              "The chip was erased, but did not answer Programming Enable after the erase: nothing was written");
    EXPECT_EQ(silent.Counters().DecodedOf(TInstruction::ChipErase), 1u);
    EXPECT_EQ(silent.Counters().DecodedOf(TInstruction::WriteCode), 0u);
}

// Each Programming Enable times its bits on the lines' own clock: three line requests and the
// Clock Delay per bit, and from that the crystal the chip needs.
TEST_F(FourByteChipTest, TheSckIsMeasuredOnTheLinesOwnClock)
{
    Lines.RequestMs = 0.002;
    Settings.ClockDelay = 0.1;
    Memory.HighestAddress = -1;
    Run(opVerifyCode);
    EXPECT_NEAR(Status.Sck.BitMs, 0.106, 1e-9);
    EXPECT_EQ(Status.Sck.ClockDelayMs, 0.1);
    EXPECT_NEAR(Status.Sck.CrystalHz(TChipKind::AT89S52), 16 * 1000 / 0.106, 1e-3);
    EXPECT_EQ(SckText(Status.Sck, TChipKind::AT89S52),
              "SCK measured at 9.43 kHz with a Clock Delay of 0.1 ms: the AT89S52 needs a crystal of 151 kHz or "
              "more (SCK below 1/16 of it)");
    EXPECT_NEAR(Status.Sck.WithClockDelay(1).BitMs, 1.006, 1e-9) << "the requests stay, the delay changes";
    EXPECT_NEAR(Status.Sck.CrystalHz(TChipKind::AT89S8252), 40 * 1000 / 0.106, 1e-3);
}

} // namespace
