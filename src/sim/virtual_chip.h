// A chip of the chip table in serial programming mode, driven pin by pin through the virtual adapter.
//
// It behaves as the datasheets describe the serial programming interface, each model after its own:
// the AT89S8252 after 0401G-MICRO-3/06 (the AT89S53's datasheet has the same serial programming
// text), the AT89S51 and AT89S52 after 2487D-MICRO-6/08 and 1919D-MICRO-6/08 and the revisions before
// them (1919C-MICRO-3/05), which differ only where SetRevision says. Its timings are its datasheet's,
// not the chip table's, so that the table's waits are checked against a chip rather than against
// themselves:
// - While RESET is low the interface sleeps: the bit counter is held at zero, MISO is not driven and
//   Programming Enable is forgotten.
// - MOSI is sampled on each rising SCK edge, most significant bit first; MISO changes after each
//   falling edge, so the programmer reads a bit while SCK is high.
// - The AT89S8252 and AT89S53 take three-byte instructions; MISO carries data only during byte 3 of
//   a read. The AT89S51 and AT89S52 take four bytes and answer in byte 4 (Programming Enable with
//   69), except a page read, whose 256 data bytes follow its second byte. Elsewhere MISO shifts out
//   a filler byte, which the programmer must ignore.
// - Nothing but Programming Enable (AC 53 ..) is obeyed until Programming Enable has been received.
// - Byte writes, lock-bit writes (one write cycle each) and Chip Erase are self-timed and run on the
//   steady clock, because the programmer busy-waits real time. The chip decides what to do with an
//   instruction once its address is in (byte 2 of three, byte 3 of four, byte 2 of a page read).
//   While a byte write runs, a read of that very byte (same memory, same address) answers with bit 7
//   inverted (DATA polling); every other instruction (reads elsewhere, writes, erase, lock bits, even
//   Programming Enable) is lost while a write or an erase runs, as the memory array is busy. A lost
//   read shifts out the filler; on the four-byte chips every read during an erase answers 00.
// - A byte write takes 2.5 ms on the three-byte chips ("typically less than 2.5 ms at 5 V"), 64
//   crystal clocks + 400 us on the four-byte ones (tSWC, at the slowest crystal, 3 MHz, unless
//   SetWriteCycle says otherwise); Chip Erase takes 500 ms on the four-byte chips (tERASE), 16 ms on
//   the others.
// - The three-byte chips erase a byte as they write it. The four-byte chips do not: a write can
//   only clear bits (the byte becomes old AND new) until Chip Erase.
// - Lock bit 1 blocks every further write to code and EEPROM; lock bits 1 and 2 also make every read
//   answer the locked answer. Only Chip Erase clears them. The four-byte chips take their lock bits
//   as modes 2, 3, 4 (lock bit 1, 2, 3), each only after the one below, and Read Lock Bits answers
//   xxx LB3 LB2 LB1 xx with a programmed bit read as 1 (every revision says so).
// Where the datasheets leave a reading open, the chip takes one and a setter gives the others: what
// a locked read answers (FF), whether the signature can be read in lock modes 3 and 4 (not, as the
// revisions before 6/08 say; the 6/08 ones drop that note), and whether the chip stays in programming
// mode after a Chip Erase (it does; they do not say).
#pragma once
#include "buffer/chip_kind.h"
#include "sim/sim_image.h"
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

enum class TInstruction : std::uint8_t {
    ProgrammingEnable,
    ChipErase,
    WriteLockBits,
    ReadCode,
    WriteCode,
    ReadData,
    WriteData,
    ReadPage,
    ReadLockBits,
    ReadSignature,
    Unknown,
    Count
};

// The datasheet revisions of the AT89S51 and AT89S52 where they differ for the programmer.
enum class TFourByteRevision : std::uint8_t {
    Before2008, // the signature cannot be read in lock modes 3 and 4
    Of2008,     // 6/08: no such note, the signature stays readable
};

enum class TChipFault : std::uint8_t {
    None,
    NoChip,        // an empty socket: nothing decoded, MISO never driven
    MisoStuckLow,  // the chip works, but its answers never reach the programmer
    MisoStuckHigh,
};

struct TChipPins {
    bool Reset = false;
    bool Sck = false;
    bool Mosi = false;
};

struct TSimCounters {
    std::uint64_t LineRequests = 0; // every request of the adapter, whatever it reaches
    std::uint64_t InputReads = 0;   // the reads among them; the rest change an output
    std::array<std::uint64_t, static_cast<std::size_t>(TInstruction::Count)> Decoded{};
    std::uint64_t Refused = 0;    // arrived before Programming Enable
    std::uint64_t Lost = 0;       // arrived while a write or an erase was running
    std::uint64_t WritesLost = 0; // the byte writes, erases and lock-bit writes among the lost

    std::uint64_t DecodedOf(TInstruction kind) const { return Decoded[static_cast<std::size_t>(kind)]; }
};

class TVirtualChip {
public:
    using TClock = std::chrono::steady_clock;

    // With an image path the chip starts from that file when it exists and saves itself there when
    // it leaves programming mode and when it is destroyed. TSimImageError when the file is malformed,
    // or holds the other of the AT89S8252 and AT89S53, which the programmer could not tell apart; an
    // image of another kind that answers with a signature is taken as it is, for the programmer to
    // find out.
    explicit TVirtualChip(TChipKind kind, std::string imagePath = {});
    ~TVirtualChip();
    TVirtualChip(const TVirtualChip &) = delete;
    TVirtualChip &operator=(const TVirtualChip &) = delete;

    void SetPins(const TChipPins &pins);
    // nullopt while MISO is not driven.
    std::optional<bool> Miso() const;

    void SetWriteCycle(std::chrono::microseconds cycle) { WriteCycle = cycle; }
    void SetEraseTime(std::chrono::microseconds time) { EraseTime = time; }
    void SetFiller(std::uint8_t filler) { Filler = filler; }
    void SetLockedAnswer(std::uint8_t answer) { LockedAnswer = answer; }
    void SetRevision(TFourByteRevision revision) { Revision = revision; }
    // False: a Chip Erase ends programming mode, and only Programming Enable opens it again.
    void SetStaysEnabledAfterErase(bool stays) { StaysEnabled = stays; }
    void SetFault(TChipFault fault) { Fault = fault; }
    // The time its write cycles run on; the steady clock unless a driver keeps a time of its own (a
    // fake cable that clocks its samples faster than real time).
    void SetClock(std::function<TClock::time_point()> now) { Clock = std::move(now); }
    // Told of every change of the RESET pin (true: held in reset), after the chip has entered or left
    // programming mode; what runs the chip's program starts and stops it from here.
    void SetResetObserver(std::function<void(bool held)> observer) { ResetObserver = std::move(observer); }
    bool ResetHeld() const { return Pins.Reset; }
    bool Absent() const { return Fault == TChipFault::NoChip; }
    // The chip goes silent for good once it has clocked in this many bytes.
    void StopAnsweringAfter(std::uint64_t bytes) { StopAfter = bytes; }

    TChipKind Kind() const { return Memory.Kind; }
    const TSimImage &Contents() const { return Memory; }
    // Loads memories and lock bits directly, as if the chip had been programmed elsewhere.
    void SetContents(const TSimImage &image);
    bool ProgrammingEnabled() const { return Enabled; }
    bool Busy() const { return Now() < BusyUntil; }

    const TSimCounters &Counters() const { return Stats; }
    void NoteLineRequest() { ++Stats.LineRequests; }
    void NoteInputRead()
    {
        ++Stats.LineRequests;
        ++Stats.InputReads;
    }

    // Saves now when the contents changed since the last save. Throws TSimImageError.
    void Save();
    // The reason of the last failed automatic save, empty after a good one.
    const std::string &SaveError() const { return LastSaveError; }

private:
    TClock::time_point Now() const { return Clock ? Clock() : TClock::now(); }

    enum class TFate : std::uint8_t { Obeyed, Ignored, Refused, Lost };
    enum class TSpace : std::uint8_t { Code, Data };
    struct TDecoded {
        TInstruction Kind = TInstruction::Unknown;
        TSpace Space = TSpace::Code;
        std::uint16_t Address = 0;
    };

    bool Silent() const;
    void EnterProgrammingMode();
    void LeaveProgrammingMode();
    void ClockIn(bool mosi);
    void ShiftOut();
    void ByteComplete();
    bool FourByte() const;
    int DecisionBits() const;
    int InstructionBits() const;
    void Decide();
    TDecoded Decode(std::uint8_t byte1, std::uint8_t byte2) const;
    TDecoded DecodeCode(std::uint8_t byte1, std::uint8_t byte2) const;
    TDecoded DecodeFourByte() const;
    TFate Judge(const TDecoded &instruction) const;
    bool IsPolled(const TDecoded &instruction) const;
    bool Erasing() const { return Busy() && EraseRunning; }
    bool ReadsHidden() const;
    bool SignatureHidden() const;
    std::uint8_t ReadReply(const TDecoded &instruction, int offset = 0) const;
    std::uint8_t LockBitsAnswer() const;
    void Complete();
    void Obey(std::uint8_t byte2, std::uint8_t value);
    void Erase();
    void WriteLocks(std::uint8_t byte2);
    void WriteLockMode(std::uint8_t byte2);
    void WriteByte(std::uint8_t value);
    std::uint8_t *Cell(TSpace space, std::uint16_t address);
    const std::uint8_t *Cell(TSpace space, std::uint16_t address) const;

    TSimImage Memory;
    std::string ImagePath;
    bool Dirty = false;
    std::string LastSaveError;

    TChipPins Pins;
    bool Enabled = false;
    int BitCount = 0; // bits of the current instruction clocked in so far
    std::array<std::uint8_t, 4> Bytes{}; // the first bytes of it; a page's data bytes are not kept
    TDecoded Pending;
    TFate PendingFate = TFate::Ignored;
    bool Decided = false; // from then on MISO shifts out Reply, until the instruction ends
    std::uint8_t Reply = 0;
    bool MisoLevel = false;
    std::uint64_t BytesSeen = 0;

    TClock::time_point BusyUntil{};
    std::function<TClock::time_point()> Clock;
    std::function<void(bool)> ResetObserver;
    std::optional<TDecoded> Polled; // the byte a running write is storing
    bool EraseRunning = false;      // the busy time is an erase's

    std::chrono::microseconds WriteCycle;
    std::chrono::microseconds EraseTime;
    std::uint8_t Filler = 0x00; // a quiet output register; tests pick others to catch a reliance on it
    std::uint8_t LockedAnswer = 0xFF;
    TFourByteRevision Revision = TFourByteRevision::Before2008;
    bool StaysEnabled = true;
    TChipFault Fault = TChipFault::None;
    std::optional<std::uint64_t> StopAfter;
    TSimCounters Stats;
};
