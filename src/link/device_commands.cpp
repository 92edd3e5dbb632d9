#include "link/device_commands.h"

#include "link/isp_link.h"
#include "settings/settings.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

constexpr int At89s53Device = 1;
constexpr int DetectSleepMs = 10;
// How long each bit of the check read waits before MISO is read: longer than any settle a cable's
// driver needs (and four times the one the settings ask for), so that what it reads is the chip's.
constexpr int LongSettleMs = 10;
constexpr int LongSettleFactor = 4;

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

std::uint8_t FourByte::AddressHigh(std::uint16_t address, TChipKind kind)
{
    // The address bits the chip decodes: a smaller chip repeats its memory above.
    const int highMask = (ChipInfo(kind).CodeSize - 1) >> 8;
    return static_cast<std::uint8_t>((address >> 8) & highMask);
}

int LockModeOfByte(std::uint8_t lockBitsByte)
{
    if (!(lockBitsByte & 0x20))
        return 4;
    if (!(lockBitsByte & 0x40))
        return 3;
    return lockBitsByte & 0x80 ? 1 : 2;
}

double CodeWriteWaitMs(const TSettings &settings)
{
    const TChipInfo &chip = ChipInfo(ChipKindForDevice(settings.Device));
    return chip.WriteWait == TWriteWait::WriteCycle ? chip.WriteCycleUs / 1000.0 : settings.WriteDelay;
}

double RewriteWaitMs(const TSettings &settings)
{
    return std::max(settings.WriteDelay, CodeWriteWaitMs(settings));
}

TDeviceCommands::TDeviceCommands(TIspLink &link, TSleep sleep, TClockMs clock)
    : Link(link), Sleep(sleep ? sleep : &ThreadSleep), Clock(std::move(clock))
{
    if (!Clock)
        Clock = [] {
            return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
}

TChipKind TDeviceCommands::Kind() const
{
    return ChipKindForDevice(Link.Settings().Device);
}

bool TDeviceCommands::FourByteChip() const
{
    return InstructionSetOf(Link.Settings().Device) == TInstructionSet::FourByte;
}

int TDeviceCommands::PageBytes() const
{
    return ChipInfo(Kind()).PageSize;
}

TPendingByte TDeviceCommands::ReadInstruction(std::uint8_t byte1, std::uint8_t byte2)
{
    Link.SendByte(byte1);
    Link.SendByte(byte2);
    return Link.QueueReceiveByte();
}

TPendingByte TDeviceCommands::ReadInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3)
{
    Link.SendByte(byte1);
    return ReadInstruction(byte2, byte3);
}

void TDeviceCommands::WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t value, double waitMs)
{
    Link.SendByte(byte1);
    Link.SendByte(byte2);
    Link.SendByte(value);
    Link.Wait(waitMs);
}

void TDeviceCommands::WriteInstruction(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3,
                                       std::uint8_t value, double waitMs)
{
    Link.SendByte(byte1);
    WriteInstruction(byte2, byte3, value, waitMs);
}

// The plain sleep is no wait on the lines: what the link still holds must reach the chip first. A
// long one (a settle the settings file made long) ends early on a stop request, as the link's waits do.
void TDeviceCommands::Pause(int ms)
{
    Link.Flush();
    const int slice = static_cast<int>(StoppableWaitMs);
    for (int left = ms; left > 0 && !(ms > slice && Link.StopRequested()); left -= slice)
        Sleep(std::min(left, slice));
}

// Its first two bytes are sent bits only, so their time is the SCK period the Clock Delay gives on
// this port, without the settle a received bit may wait for.
std::uint8_t TDeviceCommands::ProgrammingEnable()
{
    const double start = Clock();
    Link.SendByte(ProgrammingEnableBytes[0]);
    Link.SendByte(ProgrammingEnableBytes[1]);
    LastBitMs = (Clock() - start) / 16;
    if (FourByteChip())
        Link.SendByte(0x00);
    LastEcho = TakeByte(Link.QueueReceiveByte());
    return LastEcho;
}

bool TDeviceCommands::EnableEchoed()
{
    Found = {};
    Found.Expected = Kind();
    const bool echoed = !FourByteChip() || LastEcho == FourByte::EnableEcho;
    Found.Result = echoed ? TPresence::Found : TPresence::NoDevice;
    return echoed;
}

void TDeviceCommands::ChipErase()
{
    if (FourByteChip())
        TakeByte(ReadInstruction(ProgrammingEnableBytes[0], FourByte::EraseByte2, 0x00));
    else
        TakeByte(ReadInstruction(ChipEraseBytes[0], ChipEraseBytes[1]));
}

void TDeviceCommands::WriteLockBits(std::uint8_t lockBitsByte)
{
    if (!FourByteChip()) {
        TakeByte(ReadInstruction(LockBitsOpcode, lockBitsByte));
        return;
    }
    // A mode sent while the one before is still being written would be lost, and with it every
    // higher one, since the chip takes them only in order: they get the longer wait of a second write.
    const double cycleMs = RewriteWaitMs(Link.Settings());
    for (int mode = 2; mode <= LockModeOfByte(lockBitsByte); ++mode) {
        TakeByte(ReadInstruction(LockBitsOpcode, FourByte::LockModeByte2(mode), 0x00));
        Link.Wait(cycleMs);
    }
}

TPendingByte TDeviceCommands::QueueReadCodeByte(std::uint16_t address)
{
    if (FourByteChip())
        return ReadInstruction(FourByte::ReadCode, FourByte::AddressHigh(address, Kind()), address & 0xFF);
    return ReadInstruction(CodeAddressByte1(address, Link.Settings().Device, TAccess::Read), address & 0xFF);
}

TPendingByte TDeviceCommands::QueueReadDataByte(std::uint16_t address)
{
    return ReadInstruction(DataAddressByte1(address, TAccess::Read), address & 0xFF);
}

TPendingByte TDeviceCommands::QueueReadCodePage(std::uint16_t address)
{
    Link.SendByte(FourByte::ReadPage);
    Link.SendByte(FourByte::AddressHigh(address, Kind()));
    TPendingByte first = Link.QueueReceiveByte();
    for (int i = 1; i < PageBytes(); ++i)
        Link.QueueReceiveMore();
    return first;
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
    WriteCode(address, value, CodeWriteWaitMs(Link.Settings()));
}

void TDeviceCommands::RewriteCodeByte(std::uint16_t address, std::uint8_t value)
{
    WriteCode(address, value, RewriteWaitMs(Link.Settings()));
}

void TDeviceCommands::WriteCode(std::uint16_t address, std::uint8_t value, double waitMs)
{
    if (FourByteChip())
        WriteInstruction(FourByte::WriteCode, FourByte::AddressHigh(address, Kind()), address & 0xFF, value, waitMs);
    else
        WriteInstruction(CodeAddressByte1(address, Link.Settings().Device, TAccess::Write), address & 0xFF, value,
                         waitMs);
}

std::uint8_t TDeviceCommands::ReadDataByte(std::uint16_t address)
{
    return TakeByte(QueueReadDataByte(address));
}

void TDeviceCommands::WriteDataByte(std::uint16_t address, std::uint8_t value)
{
    WriteInstruction(DataAddressByte1(address, TAccess::Write), address & 0xFF, value, Link.Settings().WriteDelay);
}

TSignature TDeviceCommands::ReadSignature()
{
    TSignature signature{};
    for (std::uint8_t i = 0; i < signature.size(); ++i)
        signature[i] = TakeByte(ReadInstruction(FourByte::ReadSignature, i, 0x00));
    return signature;
}

std::uint8_t TDeviceCommands::ReadLockBits()
{
    return TakeByte(ReadInstruction(FourByte::ReadLockBits, 0x00, 0x00));
}

// A three-byte read of code byte 0 whose every bit waits long before MISO is read, with a plain
// sleep: it costs no processor, and a streaming port sends what it holds before each.
std::uint8_t TDeviceCommands::ReadSlowly(std::uint16_t address)
{
    const TSettings &settings = Link.Settings();
    const double asked = settings.PortSettle.value_or(0) * LongSettleFactor;
    const int settleMs = std::max(LongSettleMs, static_cast<int>(std::ceil(asked)));
    Link.SendByte(CodeAddressByte1(address, settings.Device, TAccess::Read));
    Link.SendByte(address & 0xFF);
    Link.SetMosi(false);
    std::uint8_t value = 0;
    for (int bit = 7; bit >= 0; --bit) {
        Link.SclHigh();
        Pause(settleMs);
        if (Link.ReadMiso())
            value |= static_cast<std::uint8_t>(1u << bit);
        Link.SclLow();
        Link.Wait(settings.ClockDelay / 2);
    }
    return value;
}

bool TDeviceCommands::DetectDevice()
{
    Found = {};
    Found.Expected = Kind();
    if (FourByteChip())
        DetectBySignature(LastEcho);
    else
        DetectByWriting();
    return Found.Found();
}

// The byte is read twice before anything is written, the second time with a long settle: a port
// whose inputs show MISO later than its settle reads the bit before, and writing back what it read
// would change the chip's first instruction.
void TDeviceCommands::DetectByWriting()
{
    Found.QuickRead = ReadCodeByte(0);
    Found.Held = ReadSlowly(0);
    if (Found.QuickRead != Found.Held) {
        Found.Result = TPresence::InputsLate;
        return;
    }
    // A stop asked for meanwhile may have cut the reads' waits short: nothing read may be written back.
    if (Link.StopRequested())
        return;
    // A MISO that never moves (not wired, stuck, nothing driving it) reads 00 or FF whatever the chip
    // holds, and writing back what it read would change the chip. Only 0 bits: nothing is written.
    // Only 1 bits, as an erased chip gives too: the 00 probe must come back before anything else is
    // written, and nothing is written back when it does not.
    const bool moved = ShowsBothLevels(Found.Held);
    Found.OneLevel = !moved;
    if (!moved && Found.Held == 0x00)
        return;
    Found.Result = TPresence::Found;
    for (const std::uint8_t probe : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        WriteCodeByte(0, probe);
        Pause(DetectSleepMs);
        if (ReadCodeByte(0) != probe) {
            Found.Result = TPresence::NoDevice;
            break;
        }
        Found.OneLevel = false;
        if (probe == 0x00)
            Pause(DetectSleepMs);
    }
    if (Found.OneLevel)
        return;
    // Also a chip that answered only partly must not be left with address 0 changed.
    WriteCodeByte(0, Found.Held);
    Pause(DetectSleepMs);
    Found.ReadBack = ReadCodeByte(0);
    if (Found.ReadBack != Found.Held)
        Found.Result = TPresence::CodeByteChanged;
}

// Whether MISO showed a 0 and a 1 in code byte 0 (read as `held`) or in the few bytes read after it,
// which a programmed chip rarely fills with one value.
bool TDeviceCommands::ShowsBothLevels(std::uint8_t held)
{
    if (held != 0x00 && held != 0xFF)
        return true;
    for (std::uint16_t address = 1; address < LevelProbeBytes; ++address)
        if (ReadCodeByte(address) != held)
            return true;
    return ReadCodeByte(static_cast<std::uint16_t>(ChipInfo(Kind()).CodeSize - 1)) != held;
}

void TDeviceCommands::DetectBySignature(std::uint8_t echo)
{
    if (echo != FourByte::EnableEcho)
        return;
    JudgeSignature(Kind());
}

void TDeviceCommands::JudgeSignature(TChipKind expected)
{
    Found.Signature = ReadSignature();
    Found.LockBits = ReadLockBits();
    const std::optional<TChipKind> kind = ChipWithSignature(Found.Signature);
    const std::optional<int> mode = LockModeOf(Found.LockBits);
    const bool locked = mode && *mode >= 3;
    // A signature that shows the maker's code was read, whatever chip it names. The older datasheets
    // hide it in lock modes 3 and 4, the 2008 ones no longer say so: either way the lock bits decide.
    const bool hidden = Found.Signature[0] != SignatureMaker;
    if (kind && *kind != expected)
        Found.Result = TPresence::OtherChip;
    else if (kind)
        Found.Result = locked ? TPresence::Locked : TPresence::Found;
    else if (hidden && locked)
        Found.Result = TPresence::Locked;
    else
        Found.Result = TPresence::UnknownSignature;
}

bool TDeviceCommands::ProbeFourByteChip()
{
    const std::uint8_t echo = TakeByte(ReadInstruction(ProgrammingEnableBytes[0], ProgrammingEnableBytes[1], 0x00));
    if (echo != FourByte::EnableEcho)
        return false;
    const TDetection before = Found;
    Found = {};
    Found.Expected = Kind();
    JudgeSignature(Kind());
    // Only a signature names the chip; a locked or unknown one stays what the three-byte test found.
    if (Found.Result != TPresence::OtherChip) {
        Found = before;
        return false;
    }
    return true;
}
