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

} // namespace

std::optional<int> LockModeOf(std::uint8_t lockBits, bool signatureReadable)
{
    const bool lb1 = lockBits & 0x04;
    const bool lb2 = lockBits & 0x08;
    const bool lb3 = lockBits & 0x10;
    if (signatureReadable) {
        const bool unprogrammed = lb2;
        if (lb3 != unprogrammed)
            return std::nullopt;
        return lb1 == unprogrammed ? 1 : 2;
    }
    const bool programmed = lb1;
    if (lb2 != programmed)
        return std::nullopt;
    return lb3 == programmed ? 4 : 3;
}

std::string PresenceText(const TDetection &d)
{
    const std::string expected = ChipKindName(d.Expected);
    switch (d.Result) {
    case TPresence::Found:
    case TPresence::NoDevice: break;
    case TPresence::OtherChip:
        return "Found an " + ChipKindName(*ChipWithSignature(d.Signature)) + " (" + SignatureText(d.Signature) +
               "), but the settings name the " + expected;
    case TPresence::UnknownSignature:
        return "Found a chip whose signature " + SignatureText(d.Signature) +
               " names no chip this program knows; the settings name the " + expected;
    case TPresence::Locked:
        return "Found a chip locked in mode " + std::to_string(LockModeOf(d.LockBits, false).value_or(3)) +
               ", whose signature cannot be read: only a Chip Erase unlocks it, and it clears the chip";
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

std::string ChipAnswerText(const TDetection &d)
{
    const std::optional<TChipKind> kind = ChipWithSignature(d.Signature);
    const std::optional<int> mode = LockModeOf(d.LockBits, kind.has_value());
    char bits[8];
    std::snprintf(bits, sizeof bits, "%02X", d.LockBits);
    return "Signature " + SignatureText(d.Signature) + (kind ? " (" + ChipKindName(*kind) + ")" : std::string()) +
           ", lock mode " +
           (mode ? std::to_string(*mode) + " (" + LockModeMeaning[*mode - 1] + ")"
                 : std::string("unknown (Read Lock Bits answered ") + bits + ")");
}
