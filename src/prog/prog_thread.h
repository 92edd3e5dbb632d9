// One chip operation in a worker thread, and the owner that starts one at a time.
#pragma once
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/line_interface.h"
#include "prog/prog_status.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class TProgUi;
struct TMemoryBuffer;
struct TSettings;

// Everything an operation works with; the front end owns all of it.
struct TProgContext {
    TProgStatus &Status;
    TMemoryBuffer &Memory;
    const TSettings &Settings;
    TLineInterface &Lines;
    TProgUi &Ui;
    // Reads and discards what the port has received, at once: it must neither wait for a prompt the
    // terminal may have set nor pump the front end's events on this thread.
    std::function<void()> DrainInput;
    // The plain thread sleep (presence test, erase and lock waits); null for the real one.
    TDeviceCommands::TSleep Sleep = nullptr;
    // The time the lines keep, in ms, which the SCK is measured on; null for the steady clock.
    TDeviceCommands::TClockMs LineClockMs = nullptr;
};

class TProgThread {
public:
    // Starts running at once; onEnd runs on the thread after the completion handler. The destructor
    // waits for the end.
    TProgThread(TProgContext &context, std::function<void()> onEnd);
    ~TProgThread();
    TProgThread(const TProgThread &) = delete;
    TProgThread &operator=(const TProgThread &) = delete;

private:
    void Execute();
    void RunOperation(TOperationCode code);
    void EnableProgramming();
    bool Prologue(bool lockedWillDo = false);
    void NotFound(const TDetection &detection);
    void ProbeFourByteChip();
    void ReadLoop(bool code);
    int ReadAhead(bool code, int first, int end, std::uint8_t *into);
    int ReadPage(int first, int end, std::uint8_t *into);
    using TWanted = std::function<bool(int index)>;
    using TTake = std::function<void(int index, std::uint8_t chip)>;
    bool ReadBack(bool code, int last, const TWanted &wanted, const TTake &take);
    bool EraseBeforeWrite();
    bool EnterAgainAfterErase(bool identify);
    void WriteLoop(bool code, bool onlyChanged);
    bool VerifyWritten(int last);
    void RememberProgrammed(int last, bool erased);
    void VerifyLoop(bool code);
    void ChipErase();
    void WriteLockBits();
    void UpdateProgress(int index, int last);
    bool Stopping() const { return Ctx.Status.StopRequested; }
    bool Lost() const { return Ctx.Lines.PortLost(); }
    void Sleep(int ms);
    void EndSteps(TOperationCode code);

    TProgContext &Ctx;
    std::function<void()> OnEnd;
    TIspLink Link;
    TDeviceCommands Device;
    std::thread Thread;
};

// Starts operations one at a time. A started operation counts as busy at once, so no second one
// can start in the moment before its thread sets Busy.
class TProgRunner {
public:
    explicit TProgRunner(TProgContext &context) : Ctx(context) {}
    ~TProgRunner();

    // False (and nothing started) while an operation is still running.
    bool StartOperation(TOperationCode code);
    // Busy cleared first, as after the parameter dialog, then the idle operation.
    bool StartIdleOperation();
    bool Running() const { return Active; }
    // Blocks until the running operation (if any) has finished, completion handler included.
    void WaitForEnd();
    // Asks the running operation to stop between two bytes; WaitForEnd then returns promptly.
    void RequestStop() { Ctx.Status.StopRequested = true; }

    TProgContext &Context() { return Ctx; }

private:
    TProgContext &Ctx;
    std::unique_ptr<TProgThread> Current;
    std::atomic<bool> Active{false};
};
