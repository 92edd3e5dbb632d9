#include "sim/virtual_chip.h"
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::uint8_t SpecialOpcode = 0xAC;
constexpr std::uint8_t EnableByte2 = 0x53;
constexpr std::uint8_t EnableEcho = 0x69;
constexpr std::uint8_t LockBit1 = 0x01;
constexpr std::uint8_t LockBit2 = 0x02;
constexpr std::uint8_t ReadsLocked = LockBit1 | LockBit2;

// Four-byte opcodes (byte 1).
constexpr std::uint8_t ReadCodeOpcode = 0x20;
constexpr std::uint8_t WriteCodeOpcode = 0x40;
constexpr std::uint8_t ReadPageOpcode = 0x30;
constexpr std::uint8_t ReadLockBitsOpcode = 0x24;
constexpr std::uint8_t ReadSignatureOpcode = 0x28;

bool IsWrite(TInstruction kind)
{
    return kind == TInstruction::WriteCode || kind == TInstruction::WriteData ||
           kind == TInstruction::ChipErase || kind == TInstruction::WriteLockBits;
}

bool IsRead(TInstruction kind)
{
    return kind == TInstruction::ReadCode || kind == TInstruction::ReadData || kind == TInstruction::ReadPage ||
           kind == TInstruction::ReadLockBits || kind == TInstruction::ReadSignature;
}

// The AT89S8252 and AT89S53: no signature, so the programmer cannot tell the one from the other.
bool ThreeByte(TChipKind kind) { return ChipInfo(kind).Instructions == TInstructionSet::ThreeByte; }

// The datasheets' own numbers: the longest byte write at the slowest crystal (3 MHz for the
// four-byte chips) and the chip erase.
std::chrono::microseconds DatasheetWriteCycle(TChipKind kind)
{
    constexpr double slowestCrystalMHz = 3.0;
    if (ThreeByte(kind))
        return std::chrono::microseconds(2500);
    return std::chrono::microseconds(static_cast<long>(64 / slowestCrystalMHz + 400 + 0.5));
}

std::chrono::microseconds DatasheetEraseTime(TChipKind kind)
{
    return ThreeByte(kind) ? std::chrono::milliseconds(16) : std::chrono::milliseconds(500);
}

bool ImageExists(const std::string &path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
}

} // namespace

TVirtualChip::TVirtualChip(TChipKind kind, std::string imagePath)
    : Memory(TSimImage::Erased(kind)), ImagePath(std::move(imagePath))
{
    if (ImageExists(ImagePath)) {
        TSimImage stored = TSimImage::Load(ImagePath);
        if (stored.Kind != kind && ThreeByte(stored.Kind) && ThreeByte(kind))
            throw TSimImageError("Virtual chip image " + ImagePath + " holds an " + ChipKindName(stored.Kind) +
                                 ", not an " + ChipKindName(kind) +
                                 ": select that device or remove the file to start with an erased chip");
        Memory = std::move(stored);
    }
    WriteCycle = DatasheetWriteCycle(Memory.Kind);
    EraseTime = DatasheetEraseTime(Memory.Kind);
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
    const TChipInfo &chip = ChipInfo(image.Kind);
    if (image.Kind != Memory.Kind || image.Code.size() != static_cast<std::size_t>(chip.CodeSize) ||
        image.Data.size() != static_cast<std::size_t>(chip.DataSize))
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
    if ((resetRose || resetFell) && ResetObserver)
        ResetObserver(Pins.Reset);
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
    Decided = false;
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
    if (const auto index = static_cast<std::size_t>(BitCount / 8); index < Bytes.size())
        Bytes[index] = static_cast<std::uint8_t>((Bytes[index] << 1) | (mosi ? 1 : 0));
    ++BitCount;
    if (BitCount % 8 == 0)
        ByteComplete();
}

// The bit shown after a falling edge is the one the next rising edge belongs to.
void TVirtualChip::ShiftOut()
{
    const std::uint8_t out = Decided ? Reply : Filler;
    MisoLevel = ((out >> (7 - BitCount % 8)) & 1) != 0;
}

bool TVirtualChip::FourByte() const
{
    return !ThreeByte(Memory.Kind);
}

// A page read is decided on its second byte, which holds the page; every other instruction once its
// address is in.
int TVirtualChip::DecisionBits() const
{
    if (!FourByte())
        return 16;
    return Bytes[0] == ReadPageOpcode ? 16 : 24;
}

int TVirtualChip::InstructionBits() const
{
    if (!FourByte())
        return 24;
    return Bytes[0] == ReadPageOpcode ? 16 + 8 * ChipInfo(Memory.Kind).PageSize : 32;
}

// Each byte of a page read's data is taken from the memory as its turn comes, as the chip's own
// address counter does.
void TVirtualChip::ByteComplete()
{
    ++BytesSeen;
    if (BitCount == DecisionBits())
        Decide();
    else if (Decided && Pending.Kind == TInstruction::ReadPage && BitCount < InstructionBits())
        Reply = PendingFate == TFate::Obeyed ? ReadReply(Pending, BitCount / 8 - 2) : Filler;
    if (BitCount == InstructionBits()) {
        Complete();
        BitCount = 0;
        Bytes = {};
        Decided = false;
    }
}

// The answer of a read is latched once its address is known; so is the decision whether the
// instruction is obeyed at all.
void TVirtualChip::Decide()
{
    Pending = FourByte() ? DecodeFourByte() : Decode(Bytes[0], Bytes[1]);
    PendingFate = Judge(Pending);
    Decided = true;
    const bool answers = IsRead(Pending.Kind) || (FourByte() && Pending.Kind == TInstruction::ProgrammingEnable);
    Reply = PendingFate == TFate::Obeyed && answers ? ReadReply(Pending) : Filler;
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
    const int dataSize = ChipInfo(Memory.Kind).DataSize;
    if (dataSize == 0) {
        const auto a13 = static_cast<std::uint16_t>((byte1 & 0x04) ? 0x2000 : 0);
        switch (byte1 & 0x03) {
        case 0x01: return {TInstruction::ReadCode, TSpace::Code, static_cast<std::uint16_t>(address | a13)};
        case 0x02: return {TInstruction::WriteCode, TSpace::Code, static_cast<std::uint16_t>(address | a13)};
        default: return {};
        }
    }
    const auto dataAddress = static_cast<std::uint16_t>(address & (dataSize - 1));
    switch (byte1 & 0x07) {
    case 0x01: return {TInstruction::ReadCode, TSpace::Code, address};
    case 0x02: return {TInstruction::WriteCode, TSpace::Code, address};
    case 0x05: return {TInstruction::ReadData, TSpace::Data, dataAddress};
    case 0x06: return {TInstruction::WriteData, TSpace::Data, dataAddress};
    default: return {};
    }
}

// Byte 1 is the opcode; bytes 2 and 3 hold the code address, A12..A8 (A11..A8 on the AT89S51,
// whose 4 KiB repeat above) and A7..A0. Lock modes come as E1..E3 in byte 2 of an AC instruction.
TVirtualChip::TDecoded TVirtualChip::DecodeFourByte() const
{
    const auto high = static_cast<std::uint8_t>((ChipInfo(Memory.Kind).CodeSize - 1) >> 8);
    const auto address = static_cast<std::uint16_t>(((Bytes[1] & high) << 8) | Bytes[2]);
    switch (Bytes[0]) {
    case SpecialOpcode:
        if (Bytes[1] == EnableByte2)
            return {TInstruction::ProgrammingEnable};
        if ((Bytes[1] & 0xE0) == 0x80)
            return {TInstruction::ChipErase};
        if ((Bytes[1] & 0xFC) == 0xE0)
            return {TInstruction::WriteLockBits};
        return {};
    case ReadCodeOpcode: return {TInstruction::ReadCode, TSpace::Code, address};
    case WriteCodeOpcode: return {TInstruction::WriteCode, TSpace::Code, address};
    case ReadPageOpcode: return {TInstruction::ReadPage, TSpace::Code, static_cast<std::uint16_t>(address & 0xFF00)};
    case ReadLockBitsOpcode: return {TInstruction::ReadLockBits};
    case ReadSignatureOpcode: return {TInstruction::ReadSignature, TSpace::Code, Bytes[1]};
    default: return {};
    }
}

TVirtualChip::TFate TVirtualChip::Judge(const TDecoded &instruction) const
{
    if (instruction.Kind == TInstruction::Unknown)
        return TFate::Ignored;
    if (!Enabled && instruction.Kind != TInstruction::ProgrammingEnable)
        return TFate::Refused;
    const bool answersDuringErase = FourByte() && Erasing() && IsRead(instruction.Kind);
    if (Busy() && !IsPolled(instruction) && !answersDuringErase)
        return TFate::Lost;
    return TFate::Obeyed;
}

bool TVirtualChip::IsPolled(const TDecoded &instruction) const
{
    return Polled && (instruction.Kind == TInstruction::ReadCode || instruction.Kind == TInstruction::ReadData) &&
           instruction.Space == Polled->Space && instruction.Address == Polled->Address;
}

bool TVirtualChip::ReadsHidden() const
{
    return (Memory.LockBits & ReadsLocked) == ReadsLocked;
}

bool TVirtualChip::SignatureHidden() const
{
    return ReadsHidden() && Revision == TFourByteRevision::Before2008;
}

// offset: the byte of a page read.
std::uint8_t TVirtualChip::ReadReply(const TDecoded &instruction, int offset) const
{
    if (FourByte() && Erasing())
        return 0x00;
    switch (instruction.Kind) {
    case TInstruction::ProgrammingEnable: return EnableEcho;
    case TInstruction::ReadLockBits: return LockBitsAnswer();
    case TInstruction::ReadSignature:
        if (SignatureHidden())
            return LockedAnswer;
        return instruction.Address < 3 ? ChipInfo(Memory.Kind).Signature[instruction.Address] : 0xFF;
    default: break;
    }
    const auto address = static_cast<std::uint16_t>(instruction.Address + offset);
    const std::uint8_t *cell = Cell(instruction.Space, address);
    if (!cell)
        return 0xFF;
    if (ReadsHidden())
        return LockedAnswer;
    return Busy() && IsPolled(instruction) ? static_cast<std::uint8_t>(*cell ^ 0x80) : *cell;
}

// xxx LB3 LB2 LB1 xx, a programmed bit read as 1; the x bits read 0.
std::uint8_t TVirtualChip::LockBitsAnswer() const
{
    return static_cast<std::uint8_t>((Memory.LockBits & 0x07) << 2);
}

// ---- execution ----

void TVirtualChip::Complete()
{
    ++Stats.Decoded[static_cast<std::size_t>(Pending.Kind)];
    switch (PendingFate) {
    case TFate::Obeyed: Obey(Bytes[1], FourByte() ? Bytes[3] : Bytes[2]); break;
    case TFate::Refused: ++Stats.Refused; break;
    case TFate::Lost:
        ++Stats.Lost;
        Stats.WritesLost += IsWrite(Pending.Kind) ? 1 : 0;
        break;
    case TFate::Ignored: break;
    }
}

// value: the last byte of the instruction, the data of a write.
void TVirtualChip::Obey(std::uint8_t byte2, std::uint8_t value)
{
    switch (Pending.Kind) {
    case TInstruction::ProgrammingEnable: Enabled = true; break;
    case TInstruction::ChipErase: Erase(); break;
    case TInstruction::WriteLockBits: FourByte() ? WriteLockMode(byte2) : WriteLocks(byte2); break;
    case TInstruction::WriteCode:
    case TInstruction::WriteData: WriteByte(value); break;
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
    EraseRunning = true;
    Enabled = StaysEnabled;
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
    EraseRunning = false;
    BusyUntil = Now() + WriteCycle;
}

// Mode 2, 3, 4 (E1, E2, E3) programs lock bit 1, 2, 3, but only once every lower one is programmed;
// mode 1 (E0) programs nothing. Either way the chip takes a write cycle.
void TVirtualChip::WriteLockMode(std::uint8_t byte2)
{
    const int bit = (byte2 & 0x03) - 1;
    const auto lower = static_cast<std::uint8_t>((1u << std::max(bit, 0)) - 1);
    if (bit >= 0 && (Memory.LockBits & lower) == lower) {
        Memory.LockBits |= static_cast<std::uint8_t>(1u << bit);
        Dirty = true;
    }
    Polled.reset();
    EraseRunning = false;
    BusyUntil = Now() + WriteCycle;
}

// A three-byte chip's byte write erases the byte first by itself, so any value may replace any other;
// a four-byte chip's only clears bits. The new value is stored at once; DATA polling and the lost
// instructions model the write cycle.
void TVirtualChip::WriteByte(std::uint8_t value)
{
    std::uint8_t *cell = Cell(Pending.Space, Pending.Address);
    if (!cell || (Memory.LockBits & LockBit1))
        return;
    *cell = ChipInfo(Memory.Kind).AutoErase ? value : static_cast<std::uint8_t>(*cell & value);
    Dirty = true;
    Polled = Pending;
    EraseRunning = false;
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
