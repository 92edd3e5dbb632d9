#include "prog/prog_thread.h"

#include "buffer/memory_buffer.h"
#include "link/precise_delay.h"
#include "prog/prog_ui.h"
#include "settings/settings.h"

#include <chrono>
#include <cmath>

namespace {

constexpr int EraseAndLockWaitMs = 1000;

constexpr int StopCheckMs = 10;

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
    TProgStatus &status = Ctx.Status;
    const auto code = static_cast<TOperationCode>(status.OperationCode.load());
    status.Busy = true;
    Link.SclLow();
    status.VerifyDifferences = false;
    StartTiming();
    RunOperation(code);
    StopTiming();
    status.ElapsedSeconds = ::ElapsedSeconds();
    if (Stopping()) {
        // Nobody waits for a result any more: the lines go to rest at once and the windows are left alone.
        Link.SclHigh();
        Link.SetMosi(true);
        Link.ResetInactive();
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

// Enters programming mode and tests for a chip; on failure the operation ends here.
bool TProgThread::Prologue()
{
    Ctx.Status.DeviceFound = true;
    Link.StartProgramming();
    Device.ProgrammingEnable();
    if (Device.DetectDevice())
        return true;
    Link.EndProgramming();
    Ctx.Status.DeviceFound = false;
    // Whatever answers next time may be another chip, or this one half written by the failed test.
    Ctx.Memory.ForgetLastProgrammed();
    return false;
}

void TProgThread::UpdateProgress(int index, int last)
{
    // A range of index 0 alone has nothing to divide by: it is complete after its one byte.
    const double percent = last > 0 ? index * 100.0 / last : 100.0;
    Ctx.Status.Progress = static_cast<int>(std::nearbyint(percent));
}

void TProgThread::ReadLoop(bool code)
{
    if (!Prologue())
        return;
    auto &buffer = Ctx.Memory.Buffer;
    const int size = code ? CodeMemorySize(Ctx.Settings.Device) : DataMemorySize;
    // The code read divides by its last index, the data read by the memory size.
    const int divisor = code ? size - 1 : DataMemorySize;
    for (int i = 0; i < size && !Stopping(); ++i) {
        const auto address = static_cast<std::uint16_t>(i);
        buffer[static_cast<std::size_t>(i)] = code ? Device.ReadCodeByte(address) : Device.ReadDataByte(address);
        UpdateProgress(i, divisor);
    }
    if (!Stopping())
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
    for (int i = 0; i <= last && !Stopping(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        const auto address = static_cast<std::uint16_t>(i);
        const bool unchanged = i <= known && memory.Buffer[index] == memory.LastProgrammed[index];
        if (!onlyChanged || !unchanged) {
            if (code)
                Device.WriteCodeByte(address, memory.Buffer[index]);
            else
                Device.WriteDataByte(address, memory.Buffer[index]);
        }
        UpdateProgress(i, last);
    }
    if (Stopping())
        return;
    Link.EndProgramming();
    if (code) {
        memory.LastProgrammed = memory.Buffer;
        memory.LastProgrammedKnownTo = last;
    }
}

void TProgThread::VerifyLoop(bool code)
{
    Ctx.Ui.ClearDifferences();
    const TMemoryBuffer &memory = Ctx.Memory;
    const int last = std::min(memory.WriteRangeLast(code, Ctx.Settings.Device), BufferSize - 1);
    if (!Prologue())
        return;
    for (int i = 0; i <= last && !Stopping(); ++i) {
        const auto address = static_cast<std::uint16_t>(i);
        const std::uint8_t read = code ? Device.ReadCodeByte(address) : Device.ReadDataByte(address);
        UpdateProgress(i, last);
        const std::uint8_t expected = memory.Buffer[static_cast<std::size_t>(i)];
        if (expected != read) {
            Ctx.Ui.AddDifferenceLine(i, expected, read);
            Ctx.Status.VerifyDifferences = true;
        }
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
    Sleep(EraseAndLockWaitMs);
    Link.EndProgramming();
}

void TProgThread::WriteLockBits()
{
    // Lock bit 1 makes every later write a no-op until an erase: nothing written after it counts.
    Ctx.Memory.ForgetLastProgrammed();
    if (!Prologue())
        return;
    Device.WriteLockBits(Ctx.Status.LockBitsByte);
    Sleep(EraseAndLockWaitMs);
    Link.EndProgramming();
}

// The erase and lock waits are long; a stop request cuts them short.
void TProgThread::Sleep(int ms)
{
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
