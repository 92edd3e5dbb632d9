// One chip operation run to its end on a line interface, and what it left: the memory, the status and
// the difference lines. The tests that compare a port with the virtual chip read at once share it.
#pragma once
#include "buffer/memory_buffer.h"
#include "prog/prog_thread.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"
#include "sim/virtual_chip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

struct TOutcome : TProgUi {
    void ClearDifferences() override { Lines.clear(); }
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override
    {
        Lines.push_back(DifferenceLine(address, buffer, device));
    }
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}

    TMemoryBuffer Memory;
    TProgStatus Status;
    std::vector<std::string> Lines;
};

// Delays short enough for whole memories in a test, long enough for the quick chip below.
inline TSettings QuickSettings()
{
    TSettings settings;
    settings.ResetDelay1 = settings.ResetDelay2 = 0.1;
    settings.WriteDelay = 0.05;
    return settings;
}

// The presence test's sleeps are what let a slow write finish, so they are real, only shorter.
inline void ShortSleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
}

inline void RunOperation(TOperationCode code, TLineInterface &lines, const TSettings &settings, TOutcome &outcome,
                         std::function<void()> drain = nullptr)
{
    TProgContext context{outcome.Status, outcome.Memory, settings, lines, outcome, std::move(drain), &ShortSleep};
    TProgRunner runner(context);
    ASSERT_TRUE(runner.StartOperation(code));
    runner.WaitForEnd();
}

// A quick chip holding code and data whose bits change from one to the next, so that a bit read late
// or lost shows. Its program only waits (SJMP $ at 0000h), so that where it runs between two
// operations (a port that is open) it leaves the memories alone.
inline void PrepareChip(TVirtualChip &chip)
{
    chip.SetWriteCycle(std::chrono::microseconds(20));
    chip.SetEraseTime(std::chrono::microseconds(200));
    TSimImage image = TSimImage::Erased(chip.Kind());
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 5 + (i >> 7));
    image.Code[0] = 0x80;
    image.Code[1] = 0xFE;
    for (std::size_t i = 0; i < image.Data.size(); ++i)
        image.Data[i] = static_cast<std::uint8_t>(~i);
    chip.SetContents(image);
    chip.SetFault(TChipFault::None);
}

// The same operation ended the same way through two ports.
inline void ExpectSameEnd(TVirtualChip &chip, const TOutcome &outcome, TVirtualChip &otherChip, const TOutcome &other)
{
    EXPECT_EQ(chip.Contents().Code, otherChip.Contents().Code);
    EXPECT_EQ(chip.Contents().Data, otherChip.Contents().Data);
    EXPECT_EQ(chip.Contents().LockBits, otherChip.Contents().LockBits);
    EXPECT_EQ(outcome.Memory.Buffer, other.Memory.Buffer);
    EXPECT_EQ(outcome.Memory.LastProgrammed, other.Memory.LastProgrammed);
    EXPECT_EQ(outcome.Lines, other.Lines);
    EXPECT_EQ(outcome.Status.DeviceFound, other.Status.DeviceFound);
    EXPECT_EQ(outcome.Status.VerifyDifferences, other.Status.VerifyDifferences);
}
