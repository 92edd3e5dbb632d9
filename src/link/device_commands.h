// The serial programming instructions of the AT89S8252 and AT89S53 and the presence test.
#pragma once
#include "link/isp_link.h"

#include <cstdint>

// Instruction encodings, kept in one place. Device 1 is the AT89S53; any other value encodes like
// the AT89S8252.
enum class TAccess : std::uint8_t { Read, Write };
std::uint8_t CodeAddressByte1(std::uint16_t address, int device, TAccess access);
std::uint8_t DataAddressByte1(std::uint16_t address, TAccess access);
constexpr std::uint8_t ProgrammingEnableBytes[2] = {0xAC, 0x53};
constexpr std::uint8_t ChipEraseBytes[2] = {0xAC, 0x04};
constexpr std::uint8_t LockBitsOpcode = 0xAC;
constexpr std::uint8_t LockBitsInitial = 0xE7; // each enabled lock bit clears bit 7, 6 or 5

class TDeviceCommands {
public:
    using TSleep = void (*)(int ms);

    // sleep: the plain thread sleep of the presence test (tests may count instead of sleeping).
    explicit TDeviceCommands(TIspLink &link, TSleep sleep = nullptr);

    void ProgrammingEnable();
    void ChipErase();
    void WriteLockBits(std::uint8_t lockBitsByte);
    std::uint8_t ReadCodeByte(std::uint16_t address);
    void WriteCodeByte(std::uint16_t address, std::uint8_t value);
    std::uint8_t ReadDataByte(std::uint16_t address);
    void WriteDataByte(std::uint16_t address, std::uint8_t value);
    // Reads in two halves, so that a range can be sent ahead of its results (see TIspLink::TakeByte).
    TPendingByte QueueReadCodeByte(std::uint16_t address);
    TPendingByte QueueReadDataByte(std::uint16_t address);
    std::uint8_t TakeByte(TPendingByte pending);

    // Writes 00 and FF to code address 0 and reads each back; restores the byte found there.
    bool DetectDevice();

private:
    TPendingByte ReadInstruction(std::uint8_t byte1, std::uint8_t byte2);
    void WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t value);
    void Pause(int ms);

    TIspLink &Link;
    TSleep Sleep;
};
