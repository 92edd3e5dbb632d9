// What the presence test found, beyond whether a chip answered: the programming thread keeps it in
// its status so that the front ends can say what answered and why an operation stopped.
#pragma once
#include "buffer/chip_kind.h"

#include <cstdint>
#include <optional>
#include <string>

enum class TPresence : std::uint8_t {
    Found,
    NoDevice,
    // A four-byte chip answered with the signature of another chip than the settings name (for the
    // three-byte chips found when their own test failed).
    OtherChip,
    // It answered Programming Enable, but its signature names no chip the program knows.
    UnknownSignature,
    // It answered, and its lock bits say mode 3 or 4, in which its memory cannot be read (the older
    // datasheets hide the signature too); Signature says whether it could be read.
    Locked,
    // It was erased, but did not answer Programming Enable after the erase.
    SilentAfterErase,
    // Code byte 0 read differently with the settle in use and with a long one: MISO shows a change
    // later than the settle waits, so nothing was written.
    InputsLate,
    // Code byte 0 did not read back as the byte the test found there and wrote back.
    CodeByteChanged,
};

struct TDetection {
    TPresence Result = TPresence::NoDevice;
    TChipKind Expected = TChipKind::AT89S8252; // the chip the settings name
    TSignature Signature{};       // four-byte chips: as read
    std::uint8_t LockBits = 0;    // four-byte chips: the answer of Read Lock Bits
    std::uint8_t Held = 0;        // three-byte chips: code byte 0 as found (with the long settle)
    std::uint8_t QuickRead = 0;   // three-byte chips: code byte 0 read with the settle in use
    std::uint8_t ReadBack = 0;    // three-byte chips: code byte 0 after it was written back
    // Three-byte chips: MISO showed one level only, Held's. For 00 nothing was written; for FF the
    // probe 00 was written to code byte 0 and did not read back, so that byte may now hold 00.
    bool OneLevel = false;

    bool Found() const { return Result == TPresence::Found; }
};

// The lock mode (1 = none .. 4) an answer of Read Lock Bits gives: xxx LB3 LB2 LB1 xx, a programmed
// bit reads 1, and the modes are programmed in order. Nothing when the bits contradict themselves
// (a higher bit programmed without a lower one).
std::optional<int> LockModeOf(std::uint8_t lockBits);

// Why the presence test stopped an operation, as the front ends say it; for NoDevice the program's
// "Found no device on this serial port !".
std::string PresenceText(const TDetection &detection);
// "lock mode 3 (Lock Bits 1 and 2 programmed: no programming, no verify)", or "lock mode unknown (Read
// Lock Bits answered 14)" for bits that contradict themselves.
std::string LockModeText(std::uint8_t lockBits);
// A four-byte chip's answers: "Signature 1E 52 06 (AT89S52), lock mode 1 (no lock bit programmed)".
// A signature that names no chip in a lock mode that may hide it is said to be unreadable.
std::string ChipAnswerText(const TDetection &detection);
