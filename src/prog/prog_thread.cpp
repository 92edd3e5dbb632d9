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
#include <utility>

namespace {

// The three-byte chips get the second after an erase and after lock bits that they always got. The
// four-byte chips get the erase time of their datasheets; their lock modes had a write cycle each.
constexpr int EraseAndLockWaitMs = 1000;

bool ThreeByteChip(int device)
{
    return InstructionSetOf(device) == TInstructionSet::ThreeByte;
}

// A chip that cannot set a bit by writing is erased before it is written.
bool ErasedFirst(int device)
{
    return !ChipInfo(ChipKindForDevice(device)).AutoErase;
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
    : Ctx(context), OnEnd(std::move(onEnd)), Link(context.Lines, context.Settings),
      Device(Link, context.Sleep, context.LineClockMs),
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
    status.WriteVerified = false;
    status.Rewritten = 0;
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

// Its bits sent tell the SCK this port makes with the Clock Delay in use.
void TProgThread::EnableProgramming()
{
    Ctx.Status.DeviceFound = true;
    Link.StartProgramming();
    Device.ProgrammingEnable();
    Ctx.Status.Sck = {Device.SentBitMs(), Ctx.Settings.ClockDelay};
}

// Enters programming mode and tests for a chip; on failure the operation ends here. lockedWillDo: a
// chip in a lock mode that hides its memory is good enough (for more lock bits, or an erase).
bool TProgThread::Prologue(bool lockedWillDo)
{
    EnableProgramming();
    const bool found = Device.DetectDevice();
    Ctx.Status.Detection = Device.Detection();
    if (found || (lockedWillDo && Ctx.Status.Detection.Result == TPresence::Locked))
        return true;
    NotFound(Device.Detection());
    if (Ctx.Status.Detection.Result == TPresence::NoDevice && ThreeByteChip(Ctx.Settings.Device))
        ProbeFourByteChip();
    return false;
}

void TProgThread::NotFound(const TDetection &detection)
{
    Ctx.Status.Detection = detection;
    Link.EndProgramming();
    Ctx.Status.DeviceFound = false;
    // Whatever answers next time may be another chip, or this one half written by the failed test.
    Ctx.Memory.ForgetLastProgrammed();
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

// Reads back the bytes 0..last that `wanted` names, a chunk or a page at a time, skipping those
// with none, and hands each to `take` with what the chip holds. False when a stop or a lost port cut
// it short; what a lost port answered is no answer, so nothing of it is handed on.
bool TProgThread::ReadBack(bool code, int last, const TWanted &wanted, const TTake &take)
{
    const int page = code ? Device.PageBytes() : 0;
    std::array<std::uint8_t, LargestChunk()> chip{};
    for (int first = 0; first <= last && !Stopping();) {
        while (first <= last && !wanted(first))
            ++first;
        if (first > last)
            break;
        if (page > 0)
            first -= first % page; // a page is read from its start
        const int read = ReadAhead(code, first, last + 1, chip.data());
        // What a lost port answered is no answer, nor what was read while a stop cut its waits short.
        if (Lost() || Stopping())
            return false;
        for (int i = first; i < first + read; ++i)
            if (wanted(i))
                take(i, chip[static_cast<std::size_t>(i - first)]);
        first += read;
    }
    return !Stopping();
}

void TProgThread::WriteLoop(bool code, bool onlyChanged)
{
    TMemoryBuffer &memory = Ctx.Memory;
    const int device = Ctx.Settings.Device;
    const int last = std::min(memory.WriteRangeLast(code, device), BufferSize - 1);
    // Until this write has finished the chip holds neither the image of the last one nor this one.
    const int known = memory.LastProgrammedKnownTo;
    if (code)
        memory.ForgetLastProgrammed();
    // The erase also clears a lock mode that hides the chip's memory.
    const bool eraseFirst = code && last >= 0 && ErasedFirst(device);
    if (!Prologue(eraseFirst))
        return;
    // Erased, the chip holds FF everywhere: what it held before, and the last image, no longer count.
    if (eraseFirst) {
        // A stop that came during the presence test leaves the chip as it was.
        if (Stopping() || !EraseBeforeWrite())
            return;
        onlyChanged = false;
    }
    for (int i = 0; i <= last && !Stopping() && !Lost(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        const auto address = static_cast<std::uint16_t>(i);
        const bool unchanged = i <= known && memory.Buffer[index] == memory.LastProgrammed[index];
        const bool erased = eraseFirst && (memory.Buffer[index] == 0xFF || !memory.CodeTouches(i, device));
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
    const bool holds = !eraseFirst || VerifyWritten(last);
    if (Stopping() || Lost())
        return;
    Link.EndProgramming();
    if (code && holds)
        RememberProgrammed(last, eraseFirst);
}

// The bytes an unattended run left out stay erased.
void TProgThread::RememberProgrammed(int last, bool erased)
{
    TMemoryBuffer &memory = Ctx.Memory;
    memory.LastProgrammed = memory.Buffer;
    for (int i = 0; erased && i <= last; ++i)
        if (!memory.CodeTouches(i, Ctx.Settings.Device))
            memory.LastProgrammed[static_cast<std::size_t>(i)] = 0xFF;
    memory.LastProgrammedKnownTo = last;
}

// The datasheets do not say whether the chip stays in programming mode after an erase, so it is
// asked in again. A chip whose lock mode hid its signature shows it now, and must be the one the
// settings name before anything is written.
bool TProgThread::EraseBeforeWrite()
{
    const TDetection &before = Ctx.Status.Detection;
    const bool unnamed = before.Result == TPresence::Locked && !ChipWithSignature(before.Signature);
    Device.ChipErase();
    Sleep(EraseWaitMs(Ctx.Settings.Device));
    Ctx.Status.EraseBeforeWrite = Stopping() ? TEraseState::CutShort : TEraseState::Done;
    return !Stopping() && EnterAgainAfterErase(unnamed);
}

bool TProgThread::EnterAgainAfterErase(bool identify)
{
    if (ThreeByteChip(Ctx.Settings.Device))
        return true;
    Device.ProgrammingEnable();
    if (identify ? Device.DetectDevice() : Device.EnableEchoed())
        return true;
    TDetection detection = Device.Detection();
    if (detection.Result == TPresence::NoDevice)
        detection.Result = TPresence::SilentAfterErase;
    NotFound(detection);
    return false;
}

// The four-byte chips' writes wait the write cycle of their datasheet: a chip slower than that loses
// the byte sent while it still writes the one before. So everything written is read back, a byte
// found wrong is written once more with the longer wait, and only one still wrong after that is a
// difference. False when the chip does not hold the image.
bool TProgThread::VerifyWritten(int last)
{
    const TMemoryBuffer &memory = Ctx.Memory;
    const int device = Ctx.Settings.Device;
    const auto expected = [&memory](int i) { return memory.Buffer[static_cast<std::size_t>(i)]; };
    // A slow chip may still write the last byte, and would lose the read that comes meanwhile.
    Link.Wait(RewriteWaitMs(Ctx.Settings));
    TCoverage wrong;
    const bool read = ReadBack(true, last, [&](int i) { return memory.CodeTouches(i, device); },
                               [&](int i, std::uint8_t chip) { wrong.set(static_cast<std::size_t>(i), chip != expected(i)); });
    if (!read)
        return false;
    for (int i = 0; i <= last && !Stopping() && !Lost(); ++i)
        if (wrong.test(static_cast<std::size_t>(i)))
            Device.RewriteCodeByte(static_cast<std::uint16_t>(i), expected(i));
    Ctx.Status.Rewritten = static_cast<int>(wrong.count());
    bool first = true;
    const bool reread = ReadBack(true, last, [&](int i) { return wrong.test(static_cast<std::size_t>(i)); },
                                 [&](int i, std::uint8_t chip) {
                                     if (chip == expected(i))
                                         return;
                                     if (std::exchange(first, false))
                                         Ctx.Ui.ClearDifferences();
                                     Ctx.Ui.AddDifferenceLine(i, expected(i), chip);
                                     Ctx.Status.VerifyDifferences = true;
                                 });
    Ctx.Status.WriteVerified = reread;
    return reread && !Ctx.Status.VerifyDifferences;
}

void TProgThread::VerifyLoop(bool code)
{
    Ctx.Ui.ClearDifferences();
    const TMemoryBuffer &memory = Ctx.Memory;
    const int device = Ctx.Settings.Device;
    const int last = std::min(memory.WriteRangeLast(code, device), BufferSize - 1);
    // A verify of nothing is the presence test alone, which a locked chip passes.
    if (!Prologue(last < 0))
        return;
    const bool done = ReadBack(code, last, [&](int i) { return !code || memory.CodeTouches(i, device); },
                               [&](int i, std::uint8_t chip) {
                                   UpdateProgress(i, last);
                                   const std::uint8_t expected = memory.Buffer[static_cast<std::size_t>(i)];
                                   if (expected != chip) {
                                       Ctx.Ui.AddDifferenceLine(i, expected, chip);
                                       Ctx.Status.VerifyDifferences = true;
                                   }
                               });
    if (done)
        Link.EndProgramming();
}

// No presence test that writes: a three-byte chip is erased unasked, a four-byte one must have
// echoed Programming Enable.
void TProgThread::ChipErase()
{
    Ctx.Memory.ForgetLastProgrammed();
    EnableProgramming();
    if (!Device.EnableEchoed()) {
        NotFound(Device.Detection());
        return;
    }
    Device.ChipErase();
    Sleep(EraseWaitMs(Ctx.Settings.Device));
    if (EnterAgainAfterErase(false))
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
    // The chip says which mode it is in now; the lower modes were programmed on the way.
    if (!ThreeByteChip(Ctx.Settings.Device))
        Ctx.Status.Detection.LockBits = Device.ReadLockBits();
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
