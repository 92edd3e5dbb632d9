// The serial programming instructions of the chips in the chip table and the presence test. The
// three-byte chips (AT89S8252, AT89S53) and the four-byte ones (AT89S51, AT89S52) sit behind the same
// calls; the Device setting, read at every call, chooses the encoding.
#pragma once
#include "buffer/chip_kind.h"
#include "link/detection.h"
#include "link/isp_link.h"

#include <cstdint>
#include <functional>

struct TSettings;

// Three-byte instruction encodings, kept in one place. Device 1 is the AT89S53; any other value
// encodes like the AT89S8252.
enum class TAccess : std::uint8_t { Read, Write };
std::uint8_t CodeAddressByte1(std::uint16_t address, int device, TAccess access);
std::uint8_t DataAddressByte1(std::uint16_t address, TAccess access);
constexpr std::uint8_t ProgrammingEnableBytes[2] = {0xAC, 0x53};
constexpr std::uint8_t ChipEraseBytes[2] = {0xAC, 0x04};
constexpr std::uint8_t LockBitsOpcode = 0xAC;
constexpr std::uint8_t LockBitsInitial = 0xE7; // each enabled lock bit clears bit 7, 6 or 5

// Four-byte instruction encodings: byte 1 is the opcode; the code address follows in bytes 2 and 3.
namespace FourByte {
constexpr std::uint8_t ReadCode = 0x20;
constexpr std::uint8_t WriteCode = 0x40;
constexpr std::uint8_t ReadPage = 0x30;
constexpr std::uint8_t ReadLockBits = 0x24;
constexpr std::uint8_t ReadSignature = 0x28;
constexpr std::uint8_t EraseByte2 = 0x80;
constexpr std::uint8_t EnableEcho = 0x69; // byte 4 of Programming Enable
// Byte 2 of Write Lock Bits for mode 2, 3 or 4.
constexpr std::uint8_t LockModeByte2(int mode) { return static_cast<std::uint8_t>(0xE0 + mode - 1); }
// A12..A8 on the AT89S52, A11..A8 on the AT89S51, whose 4 KiB need no more.
std::uint8_t AddressHigh(std::uint16_t address, TChipKind kind);
} // namespace FourByte

// The highest lock mode (1 = none .. 4) a lock byte of the lock-bit dialog asks for: lock bit 1, 2
// and 3 are modes 2, 3 and 4.
int LockModeOfByte(std::uint8_t lockBitsByte);

// The code bytes from $0000 up that the presence test reads to see MISO move; the last byte of the
// code memory is read too.
constexpr int LevelProbeBytes = 8;

// What a code byte write waits for on the chip the settings name: the Write Delay setting, or the
// chip's own write cycle from the chip table.
double CodeWriteWaitMs(const TSettings &settings);
// A second write of a byte that read back wrong: the slower of the Write Delay and the write cycle.
double RewriteWaitMs(const TSettings &settings);

class TDeviceCommands {
public:
    using TSleep = void (*)(int ms);
    // Milliseconds on the time the lines keep (a streaming port's waveform, else the steady clock).
    using TClockMs = std::function<double()>;

    // sleep: the plain thread sleep of the presence test (tests may count instead of sleeping).
    // clock: what SentBitMs is timed on; null for the steady clock.
    explicit TDeviceCommands(TIspLink &link, TSleep sleep = nullptr, TClockMs clock = nullptr);

    // Returns the last byte clocked in: the echo 69 of a four-byte chip.
    std::uint8_t ProgrammingEnable();
    // The SCK period of the bits the last Programming Enable sent, in ms (0 before the first).
    double SentBitMs() const { return LastBitMs; }
    // Four-byte chips: whether the last Programming Enable was echoed with 69, which Detection()
    // then says; the three-byte chips echo nothing, so for them it is always true.
    bool EnableEchoed();
    void ChipErase();
    // The four-byte chips get one instruction per lock mode, the lower modes first, each given its
    // write cycle; the caller waits after the last as after the three-byte one.
    void WriteLockBits(std::uint8_t lockBitsByte);
    std::uint8_t ReadCodeByte(std::uint16_t address);
    // Waits CodeWriteWaitMs after it; RewriteCodeByte waits RewriteWaitMs.
    void WriteCodeByte(std::uint16_t address, std::uint8_t value);
    void RewriteCodeByte(std::uint16_t address, std::uint8_t value);
    std::uint8_t ReadDataByte(std::uint16_t address);
    void WriteDataByte(std::uint16_t address, std::uint8_t value);
    // Reads in two halves, so that a range can be sent ahead of its results (see TIspLink::TakeByte).
    TPendingByte QueueReadCodeByte(std::uint16_t address);
    TPendingByte QueueReadDataByte(std::uint16_t address);
    std::uint8_t TakeByte(TPendingByte pending);

    // Four-byte chips: one instruction reads the whole page the address lies in, from its first
    // byte; take PageBytes() bytes afterwards.
    TPendingByte QueueReadCodePage(std::uint16_t address);
    int PageBytes() const;
    bool ReadsPages() const { return PageBytes() > 0; }
    TSignature ReadSignature();
    std::uint8_t ReadLockBits();

    // Three-byte chips: writes 00 and FF to code address 0 and reads each back, then restores the
    // byte found there, once two reads of it agreed and MISO showed both levels (in it, or in the
    // bytes $0001 to $0007 and the last, or in the 00 read back). Four-byte chips: the echo of Programming
    // Enable (which must have come just before) and the signature; nothing is written. Detection()
    // says what was met.
    bool DetectDevice();
    const TDetection &Detection() const { return Found; }
    // After a three-byte test that found nothing: whether a four-byte chip answers instead, with
    // Programming Enable and its signature only, which a three-byte chip takes for nothing that
    // writes. Must come in a programming mode of its own.
    bool ProbeFourByteChip();

private:
    TChipKind Kind() const;
    bool FourByteChip() const;
    TPendingByte ReadInstruction(std::uint8_t byte1, std::uint8_t byte2);
    TPendingByte ReadInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3);
    void WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t value, double waitMs);
    void WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3, std::uint8_t value,
                          double waitMs);
    void WriteCode(std::uint16_t address, std::uint8_t value, double waitMs);
    std::uint8_t ReadSlowly(std::uint16_t address);
    void Pause(int ms);
    void DetectByWriting();
    bool ShowsBothLevels(std::uint8_t held);
    void DetectBySignature(std::uint8_t echo);
    void JudgeSignature(TChipKind expected);

    TIspLink &Link;
    TSleep Sleep;
    TClockMs Clock;
    TDetection Found;
    std::uint8_t LastEcho = 0;
    double LastBitMs = 0;
};
