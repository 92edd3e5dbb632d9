#include "buffer/unattended_load.h"

#include "buffer/binary_file.h"
#include "buffer/chip_kind.h"
#include "buffer/hex_file.h"

namespace {

int MemorySize(TLoadTarget target, int device)
{
    return target == TLoadTarget::CodeMemory ? CodeMemorySize(device) : DataMemorySize;
}

// "the 4096 bytes of the AT89S51's code memory", "the 2048 bytes of data memory"
std::string MemoryText(TLoadTarget target, int device)
{
    const std::string size = "the " + std::to_string(MemorySize(target, device)) + " bytes of ";
    if (target == TLoadTarget::DataMemory)
        return size + "data memory";
    const TChipInfo *chip = ChipForDevice(device);
    return size + (chip ? "the " + std::string(chip->Name) + "'s " : std::string()) + "code memory";
}

// The file's bytes at or beyond the memory: those the reader dropped beyond the code memory, and for
// the data memory those it stored beyond that.
int BytesBeyond(const TFileResult &result, const TCoverage &stored, int memorySize)
{
    int beyond = result.BeyondMemory;
    for (std::size_t i = static_cast<std::size_t>(memorySize); i < stored.size(); ++i)
        beyond += stored[i];
    return beyond;
}

bool NothingWithin(const TCoverage &stored, int memorySize)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(memorySize); ++i)
        if (stored[i])
            return false;
    return true;
}

TUnattendedLoad Refused(TUnattendedLoad::TRefusal refusal, std::string reason)
{
    TUnattendedLoad load;
    load.Refusal = refusal;
    load.Reason = std::move(reason);
    return load;
}

} // namespace

TUnattendedLoad LoadForUnattendedWrite(TMemoryBuffer &memory, int device, const std::string &name,
                                       TLoadTarget target, bool lenient)
{
    using TRefusal = TUnattendedLoad::TRefusal;
    TUnattendedLoad load;
    bool hex = IsHexFileName(name);
    if (!hex && StartsWithHexRecord(name)) {
        hex = true;
        load.Notes.push_back(name + " is read as Intel-HEX: its first line is an Intel-HEX record");
    }
    TMemoryBuffer loaded = memory;
    // Refused or not, damage is named the same; only a lenient load stores, and never from a damaged line.
    const auto damaged = lenient ? THexReader::TDamaged::Skip : THexReader::TDamaged::Read;
    const TFileResult result = hex ? LoadHexFile(loaded, device, name, true, {}, damaged)
                                   : LoadBinaryFile(loaded, device, name, true, {});
    if (!result.Ok)
        return Refused(TRefusal::FileError, result.Error);
    if (!result.Warning.empty()) {
        if (!lenient)
            return Refused(TRefusal::Damaged, result.Warning);
        load.Warnings.push_back(result.Warning);
    }
    const int size = MemorySize(target, device);
    if (const int beyond = BytesBeyond(result, loaded.FileBytes, size); beyond > 0) {
        const std::string text = name + " holds " + std::to_string(beyond) + (beyond == 1 ? " byte" : " bytes") +
                                 " beyond " + MemoryText(target, device);
        if (!lenient)
            return Refused(TRefusal::Damaged, text);
        load.Warnings.push_back(text + ": " + (beyond == 1 ? "it is" : "they are") + " left out");
    }
    if (NothingWithin(loaded.FileBytes, size))
        return Refused(TRefusal::FileError, name + (hex ? " holds nothing for " + MemoryText(target, device)
                                                        : " is empty: there is nothing to write"));
    if (!result.Note.empty())
        load.Notes.push_back(result.Note);
    memory = loaded;
    memory.WholeDevice = false;
    return load;
}
