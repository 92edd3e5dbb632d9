// What a stopped run says, for each operation and where it was stopped.
#include "buffer/memory_buffer.h"
#include "prog/stop_report.h"

#include <gtest/gtest.h>

namespace {

TEST(StopReport, SaysHowFarTheRunGotAndWhatTheChipHolds)
{
    const struct {
        TOperationCode Code;
        TStopPhase Phase;
        int Position; // the last index dealt with
        TEraseState Erase;
        const char *Said;
    } cases[] = {
        {opWriteCode, TStopPhase::Operation, 0x0A3F, TEraseState::None,
         "Stopped at $0A40 of $1FFF: the chip holds a partly written image"},
        {opWriteCode, TStopPhase::Operation, -1, TEraseState::Done,
         "Stopped before $0000: the chip was erased, nothing was written"},
        {opWriteCode, TStopPhase::Operation, 0x0100, TEraseState::Done,
         "Stopped at $0101 of $1FFF: the chip holds a partly written image"},
        {opVerifyCode, TStopPhase::ChipReadBeforeFastWrite, 0x1FFF, TEraseState::None,
         "Stopped while reading what the chip holds, before the write: nothing was written"},
        {opVerifyCode, TStopPhase::VerifyAfterWrite, 0x1FFF, TEraseState::None,
         "Stopped after the last byte, $1FFF: the write ended, its verify did not"},
        {opReadCode, TStopPhase::Operation, 0x0010, TEraseState::None, "Stopped at $0011 of $1FFF: nothing was saved"},
    };
    TMemoryBuffer memory;
    memory.WholeDevice = true;
    for (const auto &c : cases) {
        TProgStatus status;
        status.Position = c.Position;
        status.EraseBeforeWrite = c.Erase;
        EXPECT_EQ(StopReport(c.Code, c.Phase, status, memory, 3), c.Said);
    }
}

} // namespace
