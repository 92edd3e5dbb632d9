#include "buffer/chip_kind.h"

#include <cstdio>

std::string ChipKindName(TChipKind kind)
{
    return ChipInfo(kind).Name;
}

std::optional<TChipKind> ChipWithSignature(const TSignature &signature)
{
    for (const TChipInfo &chip : ChipTable)
        if (chip.Instructions == TInstructionSet::FourByte && chip.Signature == signature)
            return chip.Kind;
    return std::nullopt;
}

std::string SignatureText(const TSignature &signature)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", signature[0], signature[1], signature[2]);
    return text;
}
