// The values the programming thread shares with its front end. Plain polled values, no locks: each is
// written by one side and read by the other, so atomics are all the exclusion they need.
#pragma once
#include "link/detection.h"
#include "link/sck_rate.h"

#include <atomic>
#include <cstdint>

enum TOperationCode : std::uint8_t {
    opReadCode = 0,
    opReadData = 1,
    opWriteCode = 2,
    opWriteCodeFast = 3,
    opWriteData = 4,
    opChipErase = 5,
    opChipReset = 6,
    opWriteLockBits = 7,
    opIdle = 8,
    opVerifyCode = 9,
    opVerifyData = 10,
};

// How far the erase a write of an erase-first chip starts with got, so that a stopped write says
// whether the chip still holds what it held.
enum class TEraseState : std::uint8_t { None, CutShort, Done };

struct TProgStatus {
    std::atomic<std::uint8_t> OperationCode{opIdle};
    std::atomic<bool> Busy{false};
    std::atomic<int> Progress{0};
    std::atomic<bool> DeviceFound{false};
    std::atomic<bool> VerifyDifferences{false};
    std::atomic<double> ElapsedSeconds{0.0};
    std::atomic<std::uint8_t> LockBitsByte{0xE7};
    std::atomic<bool> BatchMode{false};
    std::atomic<bool> CloseRequested{false};
    // The program is ending: the operation stops between two bytes, leaves the lines at rest without
    // waiting and skips its front-end steps.
    std::atomic<bool> StopRequested{false};
    // The port stopped working during the operation (a USB cable pulled out): nothing read was kept.
    std::atomic<bool> PortLost{false};
    // The last index of the range the operation's loop has dealt with; -1 before the first. Says how
    // far a stopped operation got.
    std::atomic<int> Position{-1};
    std::atomic<TEraseState> EraseBeforeWrite{TEraseState::None};
    // A code write to a chip erased first reads back what it wrote: then WriteVerified is set, and
    // Rewritten counts the bytes that read back wrong and were written once more (VerifyDifferences
    // says whether any is still wrong).
    std::atomic<bool> WriteVerified{false};
    std::atomic<int> Rewritten{0};
    // What the presence test met (after a write of lock bits: the lock bits the chip reads now), and
    // the SCK of the last Programming Enable. Written by the thread before its front-end steps and
    // read by them or after the thread ended, so they need no atomics.
    TDetection Detection;
    TSckRate Sck;
};
