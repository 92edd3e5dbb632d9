#include "prog/stop_report.h"

#include "buffer/memory_buffer.h"

#include <algorithm>
#include <cstdio>

namespace {

bool IsWrite(TOperationCode code)
{
    return code == opWriteCode || code == opWriteCodeFast || code == opWriteData;
}

bool IsRead(TOperationCode code)
{
    return code == opReadCode || code == opReadData;
}

int LastOfRange(TOperationCode code, const TMemoryBuffer &memory, int device)
{
    if (IsRead(code))
        return (code == opReadCode ? CodeMemorySize(device) : DataMemorySize) - 1;
    const bool data = code == opWriteData || code == opVerifyData;
    return std::min(memory.WriteRangeLast(!data, device), BufferSize - 1);
}

std::string Consequence(TOperationCode code, TStopPhase phase, int at, int last)
{
    if (phase == TStopPhase::VerifyAfterWrite)
        return "the write ended, its verify did not";
    if (IsRead(code))
        return "nothing was saved";
    if (!IsWrite(code))
        return "the rest was not compared";
    if (at == 0)
        return "nothing was written";
    if (at > last)
        return "the write ended, it was not verified";
    return code == opWriteData ? "the data memory holds a partly written image" : "the chip holds a partly written image";
}

// A write of an erase-first chip stopped before its first byte: the erase is what it did.
std::string ErasedBeforeWrite(TEraseState erase)
{
    if (erase == TEraseState::CutShort)
        return "Stopped during the erase before the write: the chip may be partly erased, nothing was written";
    return "Stopped before $0000: the chip was erased, nothing was written";
}

} // namespace

std::string StopReport(TOperationCode code, TStopPhase phase, const TProgStatus &status, const TMemoryBuffer &memory,
                       int device)
{
    if (code == opChipErase)
        return "Stopped during the erase: the chip may be partly erased (erase it again)";
    if (code == opWriteLockBits)
        return "Stopped while writing the lock bits: they may be partly written";
    if (phase == TStopPhase::ChipReadBeforeFastWrite)
        return "Stopped while reading what the chip holds, before the write: nothing was written";
    const int last = LastOfRange(code, memory, device);
    if (code == opChipReset || code == opIdle || last < 0) // nothing but the presence test
        return "Stopped: the lines are at rest";
    const int at = status.Position + 1;
    if (at == 0 && IsWrite(code) && status.EraseBeforeWrite != TEraseState::None)
        return ErasedBeforeWrite(status.EraseBeforeWrite);
    char where[64];
    if (at == 0)
        std::snprintf(where, sizeof where, "Stopped before $0000");
    else if (at > last)
        std::snprintf(where, sizeof where, "Stopped after the last byte, $%04X", static_cast<unsigned>(last));
    else
        std::snprintf(where, sizeof where, "Stopped at $%04X of $%04X", static_cast<unsigned>(at),
                      static_cast<unsigned>(last));
    return where + (": " + Consequence(code, phase, at, last));
}
