#include "prog/prog_thread.h"

#include "buffer/chip_kind.h"
#include "buffer/memory_buffer.h"
#include "link/precise_delay.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>

namespace {

// The three-byte chips get the second after an erase and after lock bits that they always got. The
// four-byte chips get the erase time of their datasheets; their lock modes had a write cycle each.
constexpr int EraseAndLockWaitMs = 1000;

bool ThreeByteChip(int device)
{
    return InstructionSetOf(device) == TInstructionSet::ThreeByte;
}

int EraseWaitMs(int device)
{
    return ThreeByteChip(device) ? EraseAndLockWaitMs : ChipInfo(ChipKindForDevice(device)).EraseMs;
}

int LockWaitMs(int device)
{
    return ThreeByteChip(device) ? EraseAndLockWaitMs : 0;
}

constexpr int StopCheckMs = 10;

// Reads are sent this many at a time and their bytes collected afterwards, so that a port that
// streams its waveform needs one round trip per chunk rather than one per byte. A page read is one
// chunk of its own, as long as a page.
constexpr int ReadChunk = 128;

constexpr int LargestChunk()
{
    int largest = ReadChunk;
    for (const TChipInfo &chip : ChipTable)
        largest = std::max(largest, chip.PageSize);
    return largest;
}

} // namespace

TProgThread::TProgThread(TProgContext &context, std::function<void()> onEnd)
    : Ctx(context), OnEnd(std::move(onEnd)), Link(context.Lines, context.Settings), Device(Link, context.Sleep),
      Thread([this] { Execute(); })
{
}

TProgThread::~TProgThread()
{
    if (Thread.joinable())
        Thread.join();
}

void TProgThread::Execute()
{
    Link.SetStopFlag(&Ctx.Status.StopRequested);
    TProgStatus &status = Ctx.Status;
    const auto code = static_cast<TOperationCode>(status.OperationCode.load());
    status.Busy = true;
    status.PortLost = false;
    status.Detection = {};
    Link.SclLow();
    status.VerifyDifferences = false;
    StartTiming();
    RunOperation(code);
    StopTiming();
    status.PortLost = Lost();
    status.ElapsedSeconds = ::ElapsedSeconds();
    if (Stopping()) {
        // Nobody waits for a result any more: the lines go to rest at once and the windows are left alone.
        Link.SclHigh();
        Link.SetMosi(true);
        Link.ResetInactive();
        Link.Flush();
        status.Busy = false;
    } else {
        EndSteps(code);
    }
    if (OnEnd)
        OnEnd();
}

void TProgThread::EndSteps(TOperationCode code)
{
    TProgStatus &status = Ctx.Status;
    Link.SclHigh();
    Link.SetMosi(true);
    Link.EndProgramming();
    if (code != opChipReset && Ctx.DrainInput)
        Ctx.DrainInput();
    status.Busy = false;
    Ctx.Ui.RefreshEditWindow();
    status.Progress = 0;
    Ctx.Ui.ShowElapsed(status.ElapsedSeconds);
    if (status.BatchMode)
        status.CloseRequested = true;
    Ctx.Ui.OperationFinished();
}

void TProgThread::RunOperation(TOperationCode code)
{
    switch (code) {
    case opReadCode: ReadLoop(true); break;
    case opReadData: ReadLoop(false); break;
    case opWriteCode: WriteLoop(true, false); break;
    case opWriteCodeFast: WriteLoop(true, true); break;
    case opWriteData: WriteLoop(false, false); break;
    case opChipErase: ChipErase(); break;
    case opChipReset: Link.PulseReset(); break;
    case opWriteLockBits: WriteLockBits(); break;
    case opVerifyCode: VerifyLoop(true); break;
    case opVerifyData: VerifyLoop(false); break;
    case opIdle: break;
    }
}

// Enters programming mode and tests for a chip; on failure the operation ends here. lockedWillDo: a
// chip whose lock mode hides its signature is good enough (for more lock bits).
bool TProgThread::Prologue(bool lockedWillDo)
{
    TProgStatus &status = Ctx.Status;
    status.DeviceFound = true;
    Link.StartProgramming();
    Device.ProgrammingEnable();
    const bool found = Device.DetectDevice();
    status.Detection = Device.Detection();
    if (found || (lockedWillDo && status.Detection.Result == TPresence::Locked))
        return true;
    Link.EndProgramming();
    if (status.Detection.Result == TPresence::NoDevice && ThreeByteChip(Ctx.Settings.Device))
        ProbeFourByteChip();
    status.DeviceFound = false;
    // Whatever answers next time may be another chip, or this one half written by the failed test.
    Ctx.Memory.ForgetLastProgrammed();
    return false;
}

// An AT89S51 or AT89S52 where the settings name an older chip says which it is, rather than nothing.
void TProgThread::ProbeFourByteChip()
{
    if (Stopping() || Lost())
        return;
    Link.StartProgramming();
    if (Device.ProbeFourByteChip())
        Ctx.Status.Detection = Device.Detection();
    Link.EndProgramming();
}

void TProgThread::UpdateProgress(int index, int last)
{
    // A range of index 0 alone has nothing to divide by: it is complete after its one byte.
    const double percent = last > 0 ? index * 100.0 / last : 100.0;
    Ctx.Status.Progress = static_cast<int>(std::nearbyint(percent));
    Ctx.Status.Position = index;
}

// Sends the reads of [first, end) and then takes their bytes; returns how many were read (fewer
// when a stop came in between).
int TProgThread::ReadAhead(bool code, int first, int end, std::uint8_t *into)
{
    if (code && Device.ReadsPages())
        return ReadPage(first, end, into);
    std::array<TPendingByte, ReadChunk> pending;
    int queued = 0;
    for (int i = first; i < end && queued < ReadChunk && !Stopping(); ++i) {
        const auto address = static_cast<std::uint16_t>(i);
        pending[static_cast<std::size_t>(queued++)] =
            code ? Device.QueueReadCodeByte(address) : Device.QueueReadDataByte(address);
    }
    for (int k = 0; k < queued; ++k)
        into[k] = Device.TakeByte(pending[static_cast<std::size_t>(k)]);
    return queued;
}

// One instruction for the page that starts at first; a page that reaches beyond end is read whole,
// as the chip sends it, and only its bytes below end are kept.
int TProgThread::ReadPage(int first, int end, std::uint8_t *into)
{
    const TPendingByte pending = Device.QueueReadCodePage(static_cast<std::uint16_t>(first));
    const int page = Device.PageBytes();
    const int kept = std::min(page, end - first);
    for (int k = 0; k < page; ++k) {
        const std::uint8_t byte = Device.TakeByte(pending);
        if (k < kept)
            into[k] = byte;
    }
    return kept;
}

// The buffer takes the bytes only when all of them have come: a read cut short by a lost port
// leaves it as it was.
void TProgThread::ReadLoop(bool code)
{
    if (!Prologue())
        return;
    auto image = Ctx.Memory.Buffer;
    const int size = code ? CodeMemorySize(Ctx.Settings.Device) : DataRangeSize(Ctx.Settings.Device);
    // The code read divides by its last index, the data read by the memory size.
    const int divisor = code ? size - 1 : DataMemorySize;
    for (int first = 0; first < size && !Stopping();) {
        const int read = ReadAhead(code, first, size, &image[static_cast<std::size_t>(first)]);
        if (Lost())
            return;
        for (int i = first; i < first + read; ++i)
            UpdateProgress(i, divisor);
        first += read;
    }
    if (Stopping())
        return;
    Ctx.Memory.Buffer = image;
    Link.EndProgramming();
}

void TProgThread::WriteLoop(bool code, bool onlyChanged)
{
    TMemoryBuffer &memory = Ctx.Memory;
    const int last = std::min(memory.WriteRangeLast(code, Ctx.Settings.Device), BufferSize - 1);
    // Until this write has finished the chip holds neither the image of the last one nor this one.
    const int known = memory.LastProgrammedKnownTo;
    if (code)
        memory.ForgetLastProgrammed();
    if (!Prologue())
        return;
    // A chip that cannot set a bit by writing is erased first, and then holds FF everywhere: what it
    // held before, and the last image, no longer count.
    const bool eraseFirst = code && last >= 0 && !ChipInfo(ChipKindForDevice(Ctx.Settings.Device)).AutoErase;
    if (eraseFirst) {
        // A stop that came during the presence test leaves the chip as it was.
        if (Stopping())
            return;
        EraseBeforeWrite();
        onlyChanged = false;
    }
    for (int i = 0; i <= last && !Stopping() && !Lost(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        const auto address = static_cast<std::uint16_t>(i);
        const bool unchanged = i <= known && memory.Buffer[index] == memory.LastProgrammed[index];
        const bool erased = eraseFirst && memory.Buffer[index] == 0xFF;
        if ((!onlyChanged || !unchanged) && !erased) {
            if (code)
                Device.WriteCodeByte(address, memory.Buffer[index]);
            else
                Device.WriteDataByte(address, memory.Buffer[index]);
        }
        UpdateProgress(i, last);
    }
    if (Stopping() || Lost())
        return;
    Link.EndProgramming();
    if (code) {
        memory.LastProgrammed = memory.Buffer;
        memory.LastProgrammedKnownTo = last;
    }
}

void TProgThread::EraseBeforeWrite()
{
    Device.ChipErase();
    Sleep(EraseWaitMs(Ctx.Settings.Device));
    Ctx.Status.EraseBeforeWrite = Stopping() ? TEraseState::CutShort : TEraseState::Done;
}

void TProgThread::VerifyLoop(bool code)
{
    Ctx.Ui.ClearDifferences();
    const TMemoryBuffer &memory = Ctx.Memory;
    const int last = std::min(memory.WriteRangeLast(code, Ctx.Settings.Device), BufferSize - 1);
    if (!Prologue())
        return;
    std::array<std::uint8_t, LargestChunk()> chip{};
    for (int first = 0; first <= last && !Stopping();) {
        const int read = ReadAhead(code, first, last + 1, chip.data());
        // What a lost port answered is no answer, nor what was read while a stop cut its waits short:
        // no difference is reported from it.
        if (Lost() || Stopping())
            return;
        for (int i = first; i < first + read; ++i) {
            UpdateProgress(i, last);
            const std::uint8_t expected = memory.Buffer[static_cast<std::size_t>(i)];
            const std::uint8_t device = chip[static_cast<std::size_t>(i - first)];
            if (expected != device) {
                Ctx.Ui.AddDifferenceLine(i, expected, device);
                Ctx.Status.VerifyDifferences = true;
            }
        }
        first += read;
    }
    if (!Stopping())
        Link.EndProgramming();
}

void TProgThread::ChipErase()
{
    // No presence test: an erase never reports a missing chip.
    Ctx.Status.DeviceFound = true;
    Ctx.Memory.ForgetLastProgrammed();
    Link.StartProgramming();
    Device.ProgrammingEnable();
    Device.ChipErase();
    Sleep(EraseWaitMs(Ctx.Settings.Device));
    Link.EndProgramming();
}

void TProgThread::WriteLockBits()
{
    // Lock bit 1 makes every later write a no-op until an erase: nothing written after it counts.
    Ctx.Memory.ForgetLastProgrammed();
    if (!Prologue(true))
        return;
    Device.WriteLockBits(Ctx.Status.LockBitsByte);
    Sleep(LockWaitMs(Ctx.Settings.Device));
    Link.EndProgramming();
}

// The erase and lock waits are long; a stop request cuts them short.
void TProgThread::Sleep(int ms)
{
    Link.Flush(); // the instruction the sleep is for must have reached the chip
    if (Ctx.Sleep) {
        Ctx.Sleep(ms);
        return;
    }
    for (int waited = 0; waited < ms && !Stopping(); waited += StopCheckMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(StopCheckMs, ms - waited)));
}

TProgRunner::~TProgRunner()
{
    WaitForEnd();
}

bool TProgRunner::StartOperation(TOperationCode code)
{
    bool expected = false;
    if (!Active.compare_exchange_strong(expected, true))
        return false;
    Current.reset(); // the previous thread has finished; collect it
    Ctx.Status.OperationCode = code;
    Ctx.Status.StopRequested = false;
    Ctx.Status.Position = -1;
    Ctx.Status.EraseBeforeWrite = TEraseState::None;
    Ctx.Status.Busy = true;
    Current = std::make_unique<TProgThread>(Ctx, [this] { Active = false; });
    return true;
}

bool TProgRunner::StartIdleOperation()
{
    if (Active)
        return false;
    Ctx.Status.Busy = false;
    return StartOperation(opIdle);
}

void TProgRunner::WaitForEnd()
{
    Current.reset();
}
