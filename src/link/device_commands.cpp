#include "link/device_commands.h"

#include "link/isp_link.h"
#include "settings/settings.h"

#include <chrono>
#include <thread>

namespace {

constexpr int At89s53Device = 1;
constexpr int DetectSleepMs = 10;

void ThreadSleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

std::uint8_t CodeAddressByte1(std::uint16_t address, int device, TAccess access)
{
    // A12..A8 in bits 7..3; A13 in bit 2 on the AT89S53 only; A14 and A15 are dropped.
    auto byte1 = static_cast<std::uint8_t>(((address >> 8) << 3) & 0xF8);
    byte1 |= access == TAccess::Read ? 0x01 : 0x02;
    if (device == At89s53Device && (address & 0x2000))
        byte1 |= 0x04;
    return byte1;
}

std::uint8_t DataAddressByte1(std::uint16_t address, TAccess access)
{
    // A10..A8 in bits 5..3: data addresses wrap every 2048 bytes.
    auto byte1 = static_cast<std::uint8_t>(((address >> 8) << 3) & 0x38);
    return byte1 | (access == TAccess::Read ? 0x05 : 0x06);
}

TDeviceCommands::TDeviceCommands(TIspLink &link, TSleep sleep)
    : Link(link), Sleep(sleep ? sleep : &ThreadSleep)
{
}

TPendingByte TDeviceCommands::ReadInstruction(std::uint8_t byte1, std::uint8_t byte2)
{
    Link.SendByte(byte1);
    Link.SendByte(byte2);
    return Link.QueueReceiveByte();
}

void TDeviceCommands::WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t value)
{
    Link.SendByte(byte1);
    Link.SendByte(byte2);
    Link.SendByte(value);
    Link.Wait(Link.Settings().WriteDelay);
}

// The plain sleep is no wait on the lines: what the link still holds must reach the chip first.
void TDeviceCommands::Pause(int ms)
{
    Link.Flush();
    Sleep(ms);
}

void TDeviceCommands::ProgrammingEnable()
{
    TakeByte(ReadInstruction(ProgrammingEnableBytes[0], ProgrammingEnableBytes[1]));
}

void TDeviceCommands::ChipErase()
{
    TakeByte(ReadInstruction(ChipEraseBytes[0], ChipEraseBytes[1]));
}

void TDeviceCommands::WriteLockBits(std::uint8_t lockBitsByte)
{
    TakeByte(ReadInstruction(LockBitsOpcode, lockBitsByte));
}

TPendingByte TDeviceCommands::QueueReadCodeByte(std::uint16_t address)
{
    return ReadInstruction(CodeAddressByte1(address, Link.Settings().Device, TAccess::Read), address & 0xFF);
}

TPendingByte TDeviceCommands::QueueReadDataByte(std::uint16_t address)
{
    return ReadInstruction(DataAddressByte1(address, TAccess::Read), address & 0xFF);
}

std::uint8_t TDeviceCommands::TakeByte(TPendingByte pending)
{
    return Link.TakeByte(pending);
}

std::uint8_t TDeviceCommands::ReadCodeByte(std::uint16_t address)
{
    return TakeByte(QueueReadCodeByte(address));
}

void TDeviceCommands::WriteCodeByte(std::uint16_t address, std::uint8_t value)
{
    WriteInstruction(CodeAddressByte1(address, Link.Settings().Device, TAccess::Write), address & 0xFF, value);
}

std::uint8_t TDeviceCommands::ReadDataByte(std::uint16_t address)
{
    return TakeByte(QueueReadDataByte(address));
}

void TDeviceCommands::WriteDataByte(std::uint16_t address, std::uint8_t value)
{
    WriteInstruction(DataAddressByte1(address, TAccess::Write), address & 0xFF, value);
}

bool TDeviceCommands::DetectDevice()
{
    const std::uint8_t saved = ReadCodeByte(0);
    for (const std::uint8_t probe : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        WriteCodeByte(0, probe);
        Pause(DetectSleepMs);
        const bool answered = ReadCodeByte(0) == probe;
        if (!answered) {
            // A chip that answered only partly must not be left with address 0 changed.
            WriteCodeByte(0, saved);
            return false;
        }
        if (probe == 0x00)
            Pause(DetectSleepMs);
    }
    WriteCodeByte(0, saved);
    return true;
}
