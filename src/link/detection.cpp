#include "link/detection.h"

#include <cstdio>

namespace {

std::string Hex(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "$%02X", byte);
    return text;
}

const char *const LockModeMeaning[] = {
    "no lock bit programmed",
    "Lock Bit 1 programmed: no further programming",
    "Lock Bits 1 and 2 programmed: no programming, no verify",
    "Lock Bits 1 to 3 programmed: no programming, no verify, no external execution",
};

// A MISO that read one level in code bytes $0000 to $0007 and the last.
std::string OneLevelText(const TDetection &d)
{
    if (d.Held == 0x00)
        return "MISO read only 0 bits (code bytes $0000 to $0007 and the last), so nothing was written: check that "
               "MISO is wired and the chip powered. A chip that holds 00 there reads the same: a Chip Erase clears it";
    return "MISO read only 1 bits (code bytes $0000 to $0007 and the last), also after $00 was written to code byte "
           "$0000 to see a 0: if a chip is there, that byte may now hold $00 instead of the $FF it read";
}

// "AT89S51 or AT89S52": the chips of one instruction set.
std::string NamesOf(TInstructionSet instructions)
{
    std::string names;
    for (const TChipInfo &chip : ChipTable)
        if (chip.Instructions == instructions)
            names += (names.empty() ? "" : " or ") + std::string(chip.Name);
    return names;
}

// A four-byte chip is looked for by the echo of Programming Enable alone; a three-byte one would
// need its presence test, which writes code byte 0.
std::string NoDeviceText(TChipKind expected)
{
    const std::string text = "Found no device on this serial port !";
    if (ChipInfo(expected).Instructions != TInstructionSet::FourByte)
        return text;
    return text + " No " + NamesOf(TInstructionSet::FourByte) + " answered; an " +
           NamesOf(TInstructionSet::ThreeByte) + " may be there, whose presence test writes code byte $0000: " +
           "nothing was written, select that device to look for one";
}

bool SignatureRead(const TDetection &d)
{
    return ChipWithSignature(d.Signature).has_value();
}

} // namespace

std::optional<int> LockModeOf(std::uint8_t lockBits)
{
    const bool lb1 = lockBits & 0x04;
    const bool lb2 = lockBits & 0x08;
    const bool lb3 = lockBits & 0x10;
    if ((lb2 && !lb1) || (lb3 && !lb2))
        return std::nullopt;
    return 1 + lb1 + lb2 + lb3;
}

std::string PresenceText(const TDetection &d)
{
    const std::string expected = ChipKindName(d.Expected);
    switch (d.Result) {
    case TPresence::Found: break;
    case TPresence::NoDevice:
        return d.OneLevel ? NoDeviceText(d.Expected) + "\n" + OneLevelText(d) : NoDeviceText(d.Expected);
    case TPresence::OtherChip:
        return "Found an " + ChipKindName(*ChipWithSignature(d.Signature)) + " (" + SignatureText(d.Signature) +
               "), but the settings name the " + expected;
    case TPresence::UnknownSignature:
        return "Found a chip whose signature " + SignatureText(d.Signature) +
               " names no chip this program knows; the settings name the " + expected;
    case TPresence::Locked: {
        const std::string mode = std::to_string(LockModeOf(d.LockBits).value_or(3));
        if (SignatureRead(d))
            return "Found an " + ChipKindName(*ChipWithSignature(d.Signature)) + " locked in mode " + mode +
                   ", whose memory cannot be read: only a Chip Erase unlocks it, and it clears the chip";
        return "Found a chip locked in mode " + mode +
               ", whose signature cannot be read: only a Chip Erase unlocks it, and it clears the chip";
    }
    case TPresence::SilentAfterErase:
        return "The chip was erased, but did not answer Programming Enable after the erase: nothing was written";
    case TPresence::InputsLate:
        return "The port shows MISO later than the settle waits: code byte $0000 read " + Hex(d.QuickRead) +
               ", and " + Hex(d.Held) + " after a long wait; nothing was written (korvel-cli lines measures " +
               "the settle this cable needs, PortSettle in [SerialPort] sets it)";
    case TPresence::CodeByteChanged:
        return "Found no device on this serial port, and code byte $0000 may have changed: it held " + Hex(d.Held) +
               " (it reads " + Hex(d.ReadBack) + " now)";
    }
    return "Found no device on this serial port !";
}

std::string LockModeText(std::uint8_t lockBits)
{
    const std::optional<int> mode = LockModeOf(lockBits);
    char bits[8];
    std::snprintf(bits, sizeof bits, "%02X", lockBits);
    return "lock mode " + (mode ? std::to_string(*mode) + " (" + LockModeMeaning[*mode - 1] + ")"
                                : std::string("unknown (Read Lock Bits answered ") + bits + ")");
}

std::string ChipAnswerText(const TDetection &d)
{
    const std::optional<TChipKind> kind = ChipWithSignature(d.Signature);
    const std::optional<int> mode = LockModeOf(d.LockBits);
    std::string named;
    if (kind)
        named = " (" + ChipKindName(*kind) + ")";
    else if (mode && *mode >= 3)
        named = " (unreadable in this lock mode)";
    return "Signature " + SignatureText(d.Signature) + named + ", " + LockModeText(d.LockBits);
}
