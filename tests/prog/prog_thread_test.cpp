// Every operation of the programming thread end to end against the virtual chip.
#include "buffer/memory_buffer.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "prog/stop_report.h"
#include "operation_outcome.h"
#include "recording_lines.h"
#include "settings/settings.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records the front-end steps in order, with the state the thread had published at each.
class TRecordingUi : public TProgUi {
public:
    explicit TRecordingUi(const TProgStatus &status) : Status(status) {}

    void ClearDifferences() override { Note("clear"); }
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override
    {
        Note(DifferenceLine(address, buffer, device));
    }
    void RefreshEditWindow() override
    {
        Note("refresh");
        ProgressAtRefresh = Status.Progress;
        BusyAtRefresh = Status.Busy;
    }
    void ShowElapsed(double) override { Note("elapsed"); }
    void OperationFinished() override
    {
        Note("finished");
        Finish = FinishMessage(Status);
    }

    std::vector<std::string> Steps;
    std::vector<bool> BusyAt;
    int ProgressAtRefresh = -1;
    bool BusyAtRefresh = true;
    TFinishMessage Finish;

private:
    void Note(std::string step)
    {
        Steps.push_back(std::move(step));
        BusyAt.push_back(Status.Busy);
    }
    const TProgStatus &Status;
};

TSettings WithDevice(int device)
{
    TSettings settings;
    settings.Device = device;
    return settings;
}

class ProgThreadTest : public testing::Test {
protected:
    explicit ProgThreadTest(int device = 0) : Settings(WithDevice(device))
    {
        Settings.ResetDelay1 = Settings.ResetDelay2 = 0.1;
        Settings.WriteDelay = 0.05;
        Target.Chip().SetWriteCycle(std::chrono::microseconds(20));
        Target.Chip().SetEraseTime(std::chrono::microseconds(200));
    }

    // Runs one operation and samples Progress while it runs.
    void Run(TOperationCode code, TLineInterface *lines = nullptr)
    {
        TProgContext context{Status, Memory, Settings, lines ? *lines : Target.Lines(), Ui, [this] { ++Drains; },
                             &ShortSleep};
        TProgRunner runner(context);
        ASSERT_TRUE(runner.StartOperation(code));
        int last = 0;
        while (runner.Running()) {
            const bool busyBefore = Status.Busy;
            const int progress = Status.Progress;
            if (busyBefore && Status.Busy) {
                EXPECT_GE(progress, last) << "progress went backwards";
                last = progress;
            }
            MaxProgress = std::max(MaxProgress, progress);
        }
        runner.WaitForEnd();
        EXPECT_FALSE(Status.Busy);
        EXPECT_EQ(Status.Progress, 0);
    }

    std::uint64_t Decoded(TInstruction kind) { return Target.Chip().Counters().DecodedOf(kind); }
    std::vector<std::uint8_t> ChipCode() { return Target.Chip().Contents().Code; }

    void SetChipCode(std::uint8_t (*pattern)(std::size_t))
    {
        TSimImage image = TSimImage::Erased(Target.Chip().Kind());
        for (std::size_t i = 0; i < image.Code.size(); ++i)
            image.Code[i] = pattern(i);
        for (std::size_t i = 0; i < image.Data.size(); ++i)
            image.Data[i] = static_cast<std::uint8_t>(~pattern(i));
        Target.Chip().SetContents(image);
    }

    TSettings Settings;
    TVirtualTarget Target{Settings};
    TMemoryBuffer Memory;
    TProgStatus Status;
    TRecordingUi Ui{Status};
    int Drains = 0;
    int MaxProgress = 0;
};

std::uint8_t Pattern(std::size_t i)
{
    return static_cast<std::uint8_t>(i * 7 + (i >> 8));
}

TEST_F(ProgThreadTest, ReadCodeFillsTheCodeSizeAndNothingAbove)
{
    SetChipCode(&Pattern);
    Memory.Buffer.fill(0x5A);
    Run(opReadCode);
    for (std::size_t i = 0; i < 8192; ++i)
        ASSERT_EQ(Memory.Buffer[i], Pattern(i)) << i;
    EXPECT_EQ(Memory.Buffer[8192], 0x5A);
    EXPECT_EQ(Ui.Steps, (std::vector<std::string>{"refresh", "elapsed", "finished"}));
    EXPECT_EQ(Ui.ProgressAtRefresh, 100);
    EXPECT_FALSE(Ui.BusyAtRefresh);
    EXPECT_FALSE(Ui.Finish.Show) << "a read ends silently";
    EXPECT_EQ(Drains, 1);
    EXPECT_EQ(Decoded(TInstruction::ReadCode), 8192u + 6) << "byte 0 holds 00: the presence test reads byte 1 too";
}

// A verify's first step waits for the front end, so a blocked front end holds the operation there.
TEST_F(ProgThreadTest, AStartedOperationIsBusyAtOnceAndRefusesASecond)
{
    std::mutex gate;
    gate.lock();
    struct TBlockingUi : TRecordingUi {
        using TRecordingUi::TRecordingUi;
        std::mutex *Gate = nullptr;
        void ClearDifferences() override { std::lock_guard hold(*Gate); }
    } ui(Status);
    ui.Gate = &gate;
    TProgContext context{Status, Memory, Settings, Target.Lines(), ui, nullptr, &ShortSleep};
    TProgRunner runner(context);
    ASSERT_TRUE(runner.StartOperation(opVerifyCode));
    EXPECT_TRUE(Status.Busy) << "busy from the start";
    EXPECT_FALSE(runner.StartOperation(opReadCode));
    EXPECT_EQ(Status.OperationCode, opVerifyCode);
    gate.unlock();
    runner.WaitForEnd();
    EXPECT_FALSE(runner.Running());
    EXPECT_TRUE(runner.StartOperation(opIdle));
}

TEST_F(ProgThreadTest, ReadDataOverwritesOnlyTheFirst2048Bytes)
{
    SetChipCode(&Pattern);
    Memory.Buffer.fill(0x5A);
    Run(opReadData);
    for (std::size_t i = 0; i < 2048; ++i)
        ASSERT_EQ(Memory.Buffer[i], static_cast<std::uint8_t>(~Pattern(i))) << i;
    EXPECT_EQ(Memory.Buffer[2048], 0x5A);
    EXPECT_EQ(Ui.ProgressAtRefresh, 100); // round(2047 * 100 / 2048)
}

TEST_F(ProgThreadTest, WriteCodeCoversTheFileExtentThenCopiesTheWholeBuffer)
{
    for (std::size_t i = 0; i < BufferSize; ++i)
        Memory.Buffer[i] = Pattern(i);
    Memory.HighestAddress = 99;
    Run(opWriteCode);
    const auto code = ChipCode();
    for (std::size_t i = 0; i < 100; ++i)
        ASSERT_EQ(code[i], Pattern(i)) << i;
    EXPECT_EQ(code[100], 0xFF) << "beyond the range nothing is written";
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u + 100);
    EXPECT_EQ(Memory.LastProgrammed, Memory.Buffer);
    EXPECT_EQ(Ui.ProgressAtRefresh, 100);
    EXPECT_EQ(Target.Chip().Counters().WritesLost, 0u);
}

TEST_F(ProgThreadTest, FastWriteSendsOnlyTheChangedBytes)
{
    Memory.WholeDevice = true;
    Memory.Buffer.fill(0x11);
    Run(opWriteCode);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u + 8192);

    Run(opWriteCodeFast);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u + 8192 + 3) << "an unchanged buffer writes no byte";
    EXPECT_EQ(Ui.ProgressAtRefresh, 100);

    Memory.Buffer[10] = 0x22;
    Memory.Buffer[5000] = 0x33;
    Memory.Buffer[9000] = 0x44; // above the AT89S8252's code memory: outside the range
    Run(opWriteCodeFast);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u + 8192 + 3 + 3 + 2);
    EXPECT_EQ(ChipCode()[10], 0x22);
    EXPECT_EQ(ChipCode()[5000], 0x33);
    EXPECT_EQ(Memory.LastProgrammed[9000], 0x44) << "all 12288 bytes are copied";
}

// Only a code write that finished says what the chip holds, and only over its own range: otherwise
// the fast write writes every byte, also those that equal the image it would compare with.
TEST_F(ProgThreadTest, FastWriteWritesEveryByteTheLastFinishedWriteDidNotCover)
{
    const struct {
        const char *After;
        std::function<void()> Before;
        std::uint64_t Written;
    } cases[] = {
        {"the start", [] {}, 10},
        {"a finished write", [&] { Run(opWriteCode); }, 0},
        {"a chip erase", [&] { Run(opWriteCode); Run(opChipErase); }, 10},
        {"lock bits", [&] { Run(opWriteCode); Run(opWriteLockBits); }, 10},
        {"a write that found no chip",
         [&] {
             Run(opWriteCode);
             Target.Chip().SetFault(TChipFault::NoChip);
             Run(opWriteCode);
             Target.Chip().SetFault(TChipFault::None);
         },
         10},
        {"a write of a shorter range",
         [&] {
             Memory.HighestAddress = 3;
             Run(opWriteCode);
             Memory.HighestAddress = 9;
         },
         6},
    };
    Status.LockBitsByte = 0xE7; // none: later writes still work
    for (const auto &c : cases) {
        Target.Chip().SetContents(TSimImage::Erased(Target.Chip().Kind()));
        Memory = {};
        Memory.HighestAddress = 9;
        Memory.Buffer[3] = 0x01; // the other bytes are 00, where an erased chip holds FF
        c.Before();
        const auto before = Decoded(TInstruction::WriteCode);
        Run(opWriteCodeFast);
        EXPECT_EQ(Decoded(TInstruction::WriteCode) - before, 3u + c.Written) << "after " << c.After;
        EXPECT_TRUE(std::equal(Memory.Buffer.begin(), Memory.Buffer.begin() + 10, ChipCode().begin())) << c.After;
    }
}

TEST_F(ProgThreadTest, WriteDataWritesTheEeprom)
{
    Memory.WholeDevice = true;
    for (std::size_t i = 0; i < 2048; ++i)
        Memory.Buffer[i] = Pattern(i);
    Run(opWriteData);
    EXPECT_EQ(Decoded(TInstruction::WriteData), 2048u);
    EXPECT_EQ(Target.Chip().Contents().Data, std::vector<std::uint8_t>(Memory.Buffer.begin(), Memory.Buffer.begin() + 2048));
    EXPECT_EQ(Memory.LastProgrammed[0], 0) << "only code writes update the last programmed image";
}

TEST_F(ProgThreadTest, EmptyAndSingleByteRanges)
{
    Memory.HighestAddress = -1;
    Run(opWriteCode);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u) << "the presence test still runs";
    EXPECT_TRUE(Status.DeviceFound);

    Memory.HighestAddress = 0;
    Memory.Buffer[0] = 0x77;
    Run(opWriteCode);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u + 3 + 1);
    EXPECT_EQ(Ui.ProgressAtRefresh, 100) << "a one-byte range is complete after its byte";
}

TEST_F(ProgThreadTest, EraseNeedsNoPresenceTestAndClearsTheLockBits)
{
    SetChipCode(&Pattern);
    Status.LockBitsByte = 0x07;
    Run(opWriteLockBits);
    Run(opChipErase);
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 1u);
    EXPECT_EQ(Decoded(TInstruction::ReadCode), 6u) << "only the lock operation's presence test read";
    EXPECT_EQ(ChipCode(), std::vector<std::uint8_t>(8192, 0xFF));
    EXPECT_EQ(Target.Chip().Contents().LockBits, 0);
    EXPECT_FALSE(Ui.Finish.Show);
}

TEST_F(ProgThreadTest, LockBitOneBlocksLaterWrites)
{
    Status.LockBitsByte = 0xE7 & ~0x80;
    Run(opWriteLockBits);
    EXPECT_EQ(Target.Chip().Contents().LockBits, 0x01);
    // The presence test itself now fails: address 0 can no longer be written.
    Memory.WholeDevice = true;
    Run(opWriteCode);
    EXPECT_FALSE(Status.DeviceFound);
    EXPECT_EQ(Ui.Finish.Text.rfind("Found no device on this serial port !\nMISO read only 1 bits", 0), 0u)
        << "the erased chip reads FF everywhere, and its byte 0 takes no 00: " << Ui.Finish.Text;
}

TEST_F(ProgThreadTest, ResetOnlyPulsesResetAndKeepsTheInput)
{
    TRecordingLines lines;
    Status.DeviceFound = true;
    Run(opChipReset, &lines);
    using E = TLineEvent;
    using C = TLineCall;
    EXPECT_EQ(lines.Events, (std::vector<E>{{C::Break, false}, {C::Dtr, true}, {C::Break, true}, {C::Rts, true},
                                           {C::Dtr, false}, {C::Break, true}, {C::Rts, true}, {C::Dtr, false}}));
    EXPECT_EQ(Drains, 0) << "the terminal still reads during a reset";
    EXPECT_TRUE(Status.DeviceFound) << "untouched";
    EXPECT_FALSE(Ui.Finish.Show);
}

TEST_F(ProgThreadTest, IdleDoesNothingButTheEndSteps)
{
    Run(opIdle);
    EXPECT_EQ(Target.Chip().Counters().DecodedOf(TInstruction::ProgrammingEnable), 0u);
    EXPECT_EQ(Ui.Steps, (std::vector<std::string>{"refresh", "elapsed", "finished"}));
    EXPECT_FALSE(Ui.Finish.Show);
    EXPECT_LT(Status.ElapsedSeconds, 0.5);
}

TEST_F(ProgThreadTest, VerifyListsEveryDifferenceInAddressOrder)
{
    SetChipCode(&Pattern);
    Memory.WholeDevice = true;
    for (std::size_t i = 0; i < 8192; ++i)
        Memory.Buffer[i] = Pattern(i);
    Memory.Buffer[0x01A0] = static_cast<std::uint8_t>(Pattern(0x01A0) ^ 0xFF);
    Memory.Buffer[0x0002] = 0x99;
    Memory.Buffer[0x1FFF] = static_cast<std::uint8_t>(Pattern(0x1FFF) + 1);
    Run(opVerifyCode);
    char line1[64], line2[64], line3[64];
    std::snprintf(line1, sizeof line1, "Byte $0002 Buffer: $99 Device: $%02X", Pattern(2));
    std::snprintf(line2, sizeof line2, "Byte $01A0 Buffer: $%02X Device: $%02X", Pattern(0x1A0) ^ 0xFF, Pattern(0x1A0));
    std::snprintf(line3, sizeof line3, "Byte $1FFF Buffer: $%02X Device: $%02X", (Pattern(0x1FFF) + 1) & 0xFF,
                  Pattern(0x1FFF));
    EXPECT_EQ(Ui.Steps, (std::vector<std::string>{"clear", line1, line2, line3, "refresh", "elapsed", "finished"}));
    EXPECT_TRUE(Ui.BusyAt[0]);
    EXPECT_TRUE(Status.VerifyDifferences);
    EXPECT_EQ(Ui.Finish.Text, "Found differences during Verify !");
    EXPECT_EQ(Ui.Finish.Caption, "Note");
    EXPECT_TRUE(Ui.Finish.ShowDifferences);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 3u) << "a verify writes nothing but the presence test";
}

TEST_F(ProgThreadTest, VerifyOkAndVerifyData)
{
    SetChipCode(&Pattern);
    Memory.WholeDevice = true;
    for (std::size_t i = 0; i < 2048; ++i)
        Memory.Buffer[i] = static_cast<std::uint8_t>(~Pattern(i));
    Run(opVerifyData);
    EXPECT_EQ(Ui.Finish.Text, "Verify ok !");
    EXPECT_EQ(Ui.Finish.Caption, "Gratulation");
    EXPECT_FALSE(Status.VerifyDifferences);
}

TEST_F(ProgThreadTest, NoChipLeavesEverythingAndSaysSo)
{
    Target.Chip().SetFault(TChipFault::NoChip);
    Memory.WholeDevice = true;
    Memory.Buffer.fill(0x42);
    Memory.LastProgrammed.fill(0x24);
    const auto buffer = Memory.Buffer;
    const auto last = Memory.LastProgrammed;
    for (auto code : {opReadCode, opReadData, opWriteCode, opWriteCodeFast, opWriteData, opWriteLockBits, opVerifyCode,
                      opVerifyData}) {
        Ui.Steps.clear();
        Run(code);
        EXPECT_FALSE(Status.DeviceFound) << int(code);
        EXPECT_EQ(Ui.Finish.Text.substr(0, Ui.Finish.Text.find('\n')), "Found no device on this serial port !")
            << int(code);
        EXPECT_EQ(Ui.Finish.Caption, "Error");
        EXPECT_EQ(MaxProgress, 0) << int(code);
        const bool verify = code == opVerifyCode || code == opVerifyData;
        EXPECT_EQ(Ui.Steps.front(), verify ? "clear" : "refresh") << int(code);
        EXPECT_EQ(Ui.Steps.size(), verify ? 4u : 3u) << "no difference lines";
    }
    EXPECT_EQ(Memory.Buffer, buffer);
    EXPECT_EQ(Memory.LastProgrammed, last);
    Run(opChipErase);
    EXPECT_FALSE(Ui.Finish.Show) << "an erase never reports a missing chip";
}

// The presence test of the three-byte chips (every read, verify and detect starts with it) writes code
// byte 0 and puts it back. A MISO that never moves reads 00 or FF whatever the chip holds: nothing read
// through it is written back, so the chip stays as it was; where the 00 probe had to be written to see
// a 0, the message says so. A chip whose MISO works is found and left as it was, erased or with 00 at
// byte 0.
TEST_F(ProgThreadTest, ThePresenceTestWritesNothingBackFromAMisoThatNeverMoves)
{
    const auto program = [](std::size_t i) -> std::uint8_t { return i == 0 ? 0x02 : static_cast<std::uint8_t>(i * 7 + 1); };
    const auto nopFirst = [](std::size_t i) -> std::uint8_t { return i == 0 ? 0x00 : static_cast<std::uint8_t>(i + 1); };
    const struct {
        const char *What;
        TChipFault Fault;
        std::uint8_t (*Code)(std::size_t); // null: erased
        bool Found;
        std::uint8_t ByteZeroAfter;
        const char *Said; // the second line of the message
    } cases[] = {
        {"MISO stuck low", TChipFault::MisoStuckLow, program, false, 0x02, "MISO read only 0 bits"},
        {"no chip", TChipFault::NoChip, program, false, 0x02, "MISO read only 0 bits"},
        {"MISO stuck high", TChipFault::MisoStuckHigh, program, false, 0x00,
         "MISO read only 1 bits (code bytes $0000 to $0007 and the last), also after $00 was written to code byte $0000"},
        {"an erased chip", TChipFault::None, nullptr, true, 0xFF, ""},
        {"00 at byte 0", TChipFault::None, nopFirst, true, 0x00, ""},
    };
    Memory.HighestAddress = -1; // a verify of nothing: the presence test alone, as korvel-cli detect
    for (const auto &c : cases) {
        SCOPED_TRACE(c.What);
        if (c.Code)
            SetChipCode(c.Code);
        else
            Target.Chip().SetContents(TSimImage::Erased(TChipKind::AT89S8252));
        Target.Chip().SetFault(c.Fault);
        const std::vector<std::uint8_t> before = ChipCode();
        Run(opVerifyCode);
        EXPECT_EQ(Status.DeviceFound, c.Found);
        std::vector<std::uint8_t> expected = before;
        expected[0] = c.ByteZeroAfter;
        EXPECT_TRUE(ChipCode() == expected) << "byte 0 holds " << int{ChipCode()[0]};
        const std::string text = Ui.Finish.Text;
        if (!c.Found)
            EXPECT_EQ(text.substr(text.find('\n') + 1, std::string(c.Said).size()), c.Said) << text;
    }
}

TEST_F(ProgThreadTest, BatchModeRequestsTheCloseWhateverTheOutcome)
{
    Status.BatchMode = true;
    Target.Chip().SetFault(TChipFault::NoChip);
    Run(opWriteCode);
    EXPECT_TRUE(Status.CloseRequested);
    Status.CloseRequested = false;
    Status.BatchMode = false;
    Run(opWriteCode);
    EXPECT_FALSE(Status.CloseRequested);
}

// An AT89S52 behind the thread, as the settings name it.
class FourByteThreadTest : public ProgThreadTest {
protected:
    FourByteThreadTest() : ProgThreadTest(3) {}
};

std::uint8_t SomeFF(std::size_t i)
{
    return i % 5 == 0 ? 0xFF : static_cast<std::uint8_t>(i * 3);
}

TEST_F(FourByteThreadTest, AWriteErasesFirstWritesAllButFFAndAFastWriteIsAComplete)
{
    SetChipCode(&Pattern); // bits a write alone could not set
    for (std::size_t i = 0; i < BufferSize; ++i)
        Memory.Buffer[i] = SomeFF(i);
    Memory.HighestAddress = 299;
    for (const TOperationCode code : {opWriteCode, opWriteCodeFast}) {
        SCOPED_TRACE(code);
        Run(code);
        EXPECT_TRUE(Status.DeviceFound);
        const std::vector<std::uint8_t> code_ = ChipCode();
        for (std::size_t i = 0; i < code_.size(); ++i)
            ASSERT_EQ(code_[i], i < 300 ? SomeFF(i) : 0xFF) << i;
    }
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 2u);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 2u * 240);
    EXPECT_EQ(Decoded(TInstruction::ReadCode), 0u) << "the presence test reads only the signature";
    EXPECT_EQ(Memory.LastProgrammedKnownTo, 299);

    Memory.HighestAddress = -1; // an empty file: nothing to write, nothing erased
    Run(opWriteCode);
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 2u);
    EXPECT_EQ(ChipCode()[1], SomeFF(1));
}

// Forwards every call to the chip's lines and asks the operation to stop once a number of samples
// has been taken.
class TStoppingLines : public TLineInterface {
public:
    TStoppingLines(TLineInterface &inner, std::atomic<bool> &stop, int samples) : Inner(inner), Stop(stop), Left(samples) {}
    void SetBreak(bool level) override { Inner.SetBreak(level); }
    void SetRts(bool level) override { Inner.SetRts(level); }
    void SetDtr(bool level) override { Inner.SetDtr(level); }
    bool GetCTS() override { return Inner.GetCTS(); }
    bool GetDSR() override { return Inner.GetDSR(); }
    bool GetRLSD() override { return Inner.GetRLSD(); }
    bool GetRI() override { return Inner.GetRI(); }
    void QueueSample(int line) override { Inner.QueueSample(line); }
    bool TakeSample() override
    {
        if (--Left == 0)
            Stop = true;
        return Inner.TakeSample();
    }
    void Wait(double ms, TDelay delay) override { Inner.Wait(ms, delay); }
    void Flush() override { Inner.Flush(); }
    bool PortLost() const override { return Inner.PortLost(); }

private:
    TLineInterface &Inner;
    std::atomic<bool> &Stop;
    int Left;
};

std::atomic<bool> *StopDuringSleep = nullptr;
void SleepThenStop(int)
{
    *StopDuringSleep = true;
}

// A stop that comes during the presence test of a chip that is erased before it is written leaves
// the chip as it was; one that comes during that erase says the chip may be partly erased.
TEST_F(FourByteThreadTest, AStopBeforeTheFirstByteComesBeforeTheErase)
{
    SetChipCode(&Pattern);
    const std::vector<std::uint8_t> before = ChipCode();
    Memory.Buffer.fill(0x12);
    Memory.HighestAddress = 99;
    TStoppingLines lines(Target.Lines(), Status.StopRequested, 8 + 3 * 8 + 8); // the echo, the signature, the locks
    {
        TProgContext context{Status, Memory, Settings, lines, Ui, nullptr, &ShortSleep};
        TProgRunner runner(context);
        ASSERT_TRUE(runner.StartOperation(opWriteCode));
        runner.WaitForEnd();
    }
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 0u);
    EXPECT_TRUE(ChipCode() == before);
    EXPECT_EQ(Status.EraseBeforeWrite, TEraseState::None);
    EXPECT_EQ(StopReport(opWriteCode, TStopPhase::Operation, Status, Memory, Settings.Device),
              "Stopped before $0000: nothing was written");

    StopDuringSleep = &Status.StopRequested;
    {
        TProgContext context{Status, Memory, Settings, Target.Lines(), Ui, nullptr, &SleepThenStop};
        TProgRunner runner(context);
        ASSERT_TRUE(runner.StartOperation(opWriteCode));
        runner.WaitForEnd();
    }
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 1u);
    EXPECT_EQ(Decoded(TInstruction::WriteCode), 0u);
    EXPECT_EQ(StopReport(opWriteCode, TStopPhase::Operation, Status, Memory, Settings.Device),
              "Stopped during the erase before the write: the chip may be partly erased, nothing was written");
}

TEST_F(FourByteThreadTest, ReadsAndVerifiesGoByPages)
{
    SetChipCode(&Pattern);
    Run(opReadCode);
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 32u);
    EXPECT_EQ(Decoded(TInstruction::ReadCode), 0u);
    const std::vector<std::uint8_t> chip = ChipCode();
    EXPECT_TRUE(std::equal(chip.begin(), chip.end(), Memory.Buffer.begin()));
    EXPECT_EQ(Ui.ProgressAtRefresh, 100);

    Memory.WholeDevice = false;
    Memory.HighestAddress = 299;
    Memory.Buffer[0x12B] ^= 0x01;
    Ui.Steps.clear();
    Run(opVerifyCode);
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 32u + 2) << "the page 299 lies in is read whole";
    EXPECT_EQ(Ui.Steps.at(1), DifferenceLine(0x12B, Memory.Buffer[0x12B], Pattern(0x12B)));
    EXPECT_TRUE(Status.VerifyDifferences);

    const std::uint64_t before = Target.Chip().Counters().LineRequests;
    Run(opVerifyData); // no data memory: the presence test, and nothing after it
    Run(opReadData);
    EXPECT_FALSE(Status.VerifyDifferences);
    EXPECT_EQ(Decoded(TInstruction::ReadPage), 34u);
    EXPECT_LT(Target.Chip().Counters().LineRequests - before, 2000u);
}

TEST_F(FourByteThreadTest, AnotherChipOrALockedOneStopsWithWhatAnsweredAndNothingWritten)
{
    SetChipCode(&Pattern);
    Memory.Buffer.fill(0x00);
    Memory.WholeDevice = true;
    struct TCase {
        int Device;
        const char *Text;
    };
    for (const TCase &c : {TCase{2, "Found an AT89S52 (1E 52 06), but the settings name the AT89S51"},
                           TCase{0, "Found an AT89S52 (1E 52 06), but the settings name the AT89S8252"}}) {
        SCOPED_TRACE(c.Device);
        Settings.Device = c.Device;
        Run(opWriteCode);
        EXPECT_FALSE(Status.DeviceFound);
        EXPECT_EQ(Ui.Finish.Text, c.Text);
    }
    EXPECT_EQ(ChipCode()[0], Pattern(0));
    EXPECT_EQ(Decoded(TInstruction::ChipErase), 0u);

    Settings.Device = 3;
    Status.LockBitsByte = 0xA7; // lock bit 2: modes 2 and 3
    Run(opWriteLockBits);
    EXPECT_EQ(Target.Chip().Contents().LockBits, 0x03);
    Run(opVerifyCode);
    EXPECT_FALSE(Status.DeviceFound);
    EXPECT_EQ(Status.Detection.Result, TPresence::Locked);
    Status.LockBitsByte = 0xC7; // lock bit 3 on a chip already in mode 3
    Run(opWriteLockBits);
    EXPECT_TRUE(Status.DeviceFound);
    EXPECT_EQ(Target.Chip().Contents().LockBits, 0x07);
    Run(opChipErase);
    Run(opVerifyCode);
    EXPECT_TRUE(Status.DeviceFound);
}

TEST(DifferenceLine, ExactFormat)
{
    EXPECT_EQ(DifferenceLine(0x01A0, 0xFF, 0x00), "Byte $01A0 Buffer: $FF Device: $00");
    EXPECT_EQ(DifferenceLine(0x2FFF, 0x0A, 0xB0), "Byte $2FFF Buffer: $0A Device: $B0");
}

} // namespace
