#include "sim/virtual_chip.h"
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::uint8_t SpecialOpcode = 0xAC;
constexpr std::uint8_t EnableByte2 = 0x53;
constexpr std::uint8_t LockBit1 = 0x01;
constexpr std::uint8_t LockBit2 = 0x02;

bool IsWrite(TInstruction kind)
{
    return kind == TInstruction::WriteCode || kind == TInstruction::WriteData ||
           kind == TInstruction::ChipErase || kind == TInstruction::WriteLockBits;
}

bool IsRead(TInstruction kind) { return kind == TInstruction::ReadCode || kind == TInstruction::ReadData; }

bool ImageExists(const std::string &path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
}

} // namespace

TVirtualChip::TVirtualChip(TChipKind kind, std::string imagePath)
    : Memory(TSimImage::Erased(kind)), ImagePath(std::move(imagePath))
{
    if (!ImageExists(ImagePath))
        return;
    TSimImage stored = TSimImage::Load(ImagePath);
    if (stored.Kind != kind)
        throw TSimImageError("Virtual chip image " + ImagePath + " holds an " + ChipKindName(stored.Kind) +
                             ", not an " + ChipKindName(kind) +
                             ": select that device or remove the file to start with an erased chip");
    Memory = std::move(stored);
}

TVirtualChip::~TVirtualChip()
{
    try {
        Save();
    } catch (const std::exception &) {
        // Nobody is left to tell; SaveError() was the way to find out earlier.
    }
}

void TVirtualChip::SetContents(const TSimImage &image)
{
    if (image.Kind != Memory.Kind || image.Code.size() != CodeSize(image.Kind) ||
        image.Data.size() != DataSize(image.Kind))
        throw TSimImageError("Contents of an " + ChipKindName(image.Kind) + " given to an " +
                             ChipKindName(Memory.Kind));
    Memory = image;
    Dirty = true;
}

void TVirtualChip::Save()
{
    if (ImagePath.empty() || !Dirty)
        return;
    Memory.Save(ImagePath);
    Dirty = false;
}

// ---- pins ----

void TVirtualChip::SetPins(const TChipPins &pins)
{
    const bool rising = pins.Sck && !Pins.Sck;
    const bool falling = !pins.Sck && Pins.Sck;
    const bool resetRose = pins.Reset && !Pins.Reset;
    const bool resetFell = !pins.Reset && Pins.Reset;
    Pins = pins;
    if (resetFell)
        LeaveProgrammingMode();
    // The counter is still held at the moment RESET rises, so an SCK edge that comes with it counts
    // for nothing (an inverted adapter raises both as the port opens).
    if (resetRose)
        EnterProgrammingMode();
    if (!Pins.Reset || resetRose || Silent())
        return;
    if (rising)
        ClockIn(Pins.Mosi);
    else if (falling)
        ShiftOut();
}

std::optional<bool> TVirtualChip::Miso() const
{
    if (Fault == TChipFault::MisoStuckLow || Fault == TChipFault::MisoStuckHigh)
        return Fault == TChipFault::MisoStuckHigh;
    if (!Pins.Reset || Silent())
        return std::nullopt;
    return MisoLevel;
}

bool TVirtualChip::Silent() const
{
    return Fault == TChipFault::NoChip || (StopAfter && BytesSeen >= *StopAfter);
}

void TVirtualChip::EnterProgrammingMode()
{
    BitCount = 0;
    Bytes = {};
    MisoLevel = (Filler & 0x80) != 0;
}

// Leaving programming mode is when a programmer has finished an operation, so the image is brought
// up to date here; a failure is kept for SaveError() because a pin change has nobody to throw to.
void TVirtualChip::LeaveProgrammingMode()
{
    Enabled = false;
    BitCount = 0;
    try {
        Save();
        LastSaveError.clear();
    } catch (const TSimImageError &error) {
        LastSaveError = error.what();
    }
}

void TVirtualChip::ClockIn(bool mosi)
{
    std::uint8_t &byte = Bytes[static_cast<std::size_t>(BitCount / 8)];
    byte = static_cast<std::uint8_t>((byte << 1) | (mosi ? 1 : 0));
    ++BitCount;
    if (BitCount % 8 == 0)
        ByteComplete();
}

// The bit shown after a falling edge is the one the next rising edge belongs to.
void TVirtualChip::ShiftOut()
{
    const std::uint8_t out = BitCount >= 16 ? Reply : Filler;
    MisoLevel = ((out >> (7 - BitCount % 8)) & 1) != 0;
}

// The answer of a read is latched once its address is known, at the end of byte 2; so is the
// decision whether the instruction is obeyed at all.
void TVirtualChip::ByteComplete()
{
    ++BytesSeen;
    if (BitCount == 16) {
        Pending = Decode(Bytes[0], Bytes[1]);
        PendingFate = Judge(Pending);
        Reply = PendingFate == TFate::Obeyed && IsRead(Pending.Kind) ? ReadReply(Pending) : Filler;
    } else if (BitCount == 24) {
        Complete();
        BitCount = 0;
        Bytes = {};
    }
}

// ---- decoding ----

TVirtualChip::TDecoded TVirtualChip::Decode(std::uint8_t byte1, std::uint8_t byte2) const
{
    if (byte1 == SpecialOpcode) {
        if (byte2 == EnableByte2)
            return {TInstruction::ProgrammingEnable};
        if ((byte2 & 0x07) == 0x04)
            return {TInstruction::ChipErase};
        if ((byte2 & 0x07) == 0x07)
            return {TInstruction::WriteLockBits};
        return {};
    }
    return DecodeCode(byte1, byte2);
}

// Byte 1 carries A12..A8 in bits 7..3 on both chips. The AT89S53 uses bit 2 for A13 and bits 1..0
// for the operation; the AT89S8252 has only 8 KiB of code and uses bit 2 to choose the EEPROM,
// whose address is A10..A8 in bits 5..3 (bits 7..6 are ignored, so EEPROM addresses wrap at 2 KiB).
TVirtualChip::TDecoded TVirtualChip::DecodeCode(std::uint8_t byte1, std::uint8_t byte2) const
{
    const auto address = static_cast<std::uint16_t>(((byte1 >> 3) << 8) | byte2);
    if (Memory.Kind == TChipKind::AT89S53) {
        const auto a13 = static_cast<std::uint16_t>((byte1 & 0x04) ? 0x2000 : 0);
        switch (byte1 & 0x03) {
        case 0x01: return {TInstruction::ReadCode, TSpace::Code, static_cast<std::uint16_t>(address | a13)};
        case 0x02: return {TInstruction::WriteCode, TSpace::Code, static_cast<std::uint16_t>(address | a13)};
        default: return {};
        }
    }
    const auto dataAddress = static_cast<std::uint16_t>(address & 0x07FF);
    switch (byte1 & 0x07) {
    case 0x01: return {TInstruction::ReadCode, TSpace::Code, address};
    case 0x02: return {TInstruction::WriteCode, TSpace::Code, address};
    case 0x05: return {TInstruction::ReadData, TSpace::Data, dataAddress};
    case 0x06: return {TInstruction::WriteData, TSpace::Data, dataAddress};
    default: return {};
    }
}

TVirtualChip::TFate TVirtualChip::Judge(const TDecoded &instruction) const
{
    if (instruction.Kind == TInstruction::Unknown)
        return TFate::Ignored;
    if (!Enabled && instruction.Kind != TInstruction::ProgrammingEnable)
        return TFate::Refused;
    if (Busy() && !IsPolled(instruction))
        return TFate::Lost;
    return TFate::Obeyed;
}

bool TVirtualChip::IsPolled(const TDecoded &instruction) const
{
    return Polled && IsRead(instruction.Kind) && instruction.Space == Polled->Space &&
           instruction.Address == Polled->Address;
}

std::uint8_t TVirtualChip::ReadReply(const TDecoded &instruction) const
{
    const std::uint8_t *cell = Cell(instruction.Space, instruction.Address);
    if (!cell || (Memory.LockBits & (LockBit1 | LockBit2)) == (LockBit1 | LockBit2))
        return 0xFF;
    return Busy() && IsPolled(instruction) ? static_cast<std::uint8_t>(*cell ^ 0x80) : *cell;
}

// ---- execution ----

void TVirtualChip::Complete()
{
    ++Stats.Decoded[static_cast<std::size_t>(Pending.Kind)];
    switch (PendingFate) {
    case TFate::Obeyed: Obey(Bytes[1], Bytes[2]); break;
    case TFate::Refused: ++Stats.Refused; break;
    case TFate::Lost:
        ++Stats.Lost;
        Stats.WritesLost += IsWrite(Pending.Kind) ? 1 : 0;
        break;
    case TFate::Ignored: break;
    }
}

void TVirtualChip::Obey(std::uint8_t byte2, std::uint8_t byte3)
{
    switch (Pending.Kind) {
    case TInstruction::ProgrammingEnable: Enabled = true; break;
    case TInstruction::ChipErase: Erase(); break;
    case TInstruction::WriteLockBits: WriteLocks(byte2); break;
    case TInstruction::WriteCode:
    case TInstruction::WriteData: WriteByte(byte3); break;
    default: break;
    }
}

void TVirtualChip::Erase()
{
    std::fill(Memory.Code.begin(), Memory.Code.end(), 0xFF);
    std::fill(Memory.Data.begin(), Memory.Data.end(), 0xFF);
    Memory.LockBits = 0;
    Dirty = true;
    Polled.reset();
    BusyUntil = Now() + EraseTime;
}

// A lock bit is programmed by a 0 in bits 7..5 of byte 2 (LB1 in bit 7); a 1 leaves it as it is,
// since only an erase can unprogram it. Programming them takes a write cycle.
void TVirtualChip::WriteLocks(std::uint8_t byte2)
{
    const auto programmed = static_cast<std::uint8_t>(((~byte2 >> 7) & 1) | ((~byte2 >> 5) & 2) |
                                                      ((~byte2 >> 3) & 4));
    Memory.LockBits |= programmed;
    Dirty = true;
    Polled.reset();
    BusyUntil = Now() + WriteCycle;
}

// A serial-mode byte write erases the byte first by itself, so any value may replace any other. The
// new value is stored at once; DATA polling and the lost instructions model the write cycle.
void TVirtualChip::WriteByte(std::uint8_t value)
{
    std::uint8_t *cell = Cell(Pending.Space, Pending.Address);
    if (!cell || (Memory.LockBits & LockBit1))
        return;
    *cell = value;
    Dirty = true;
    Polled = Pending;
    BusyUntil = Now() + WriteCycle;
}

// The AT89S53's 14-bit code address reaches 16 KiB, of which only 12 KiB exist.
std::uint8_t *TVirtualChip::Cell(TSpace space, std::uint16_t address)
{
    auto &memory = space == TSpace::Code ? Memory.Code : Memory.Data;
    return address < memory.size() ? &memory[address] : nullptr;
}

const std::uint8_t *TVirtualChip::Cell(TSpace space, std::uint16_t address) const
{
    const auto &memory = space == TSpace::Code ? Memory.Code : Memory.Data;
    return address < memory.size() ? &memory[address] : nullptr;
}
