#include "buffer/buffer_notify.h"

#include "buffer/chip_kind.h"
#include "buffer/memory_buffer.h"

void FinishLoad(const TBufferNotify &notify, bool silent, bool overflow, const std::string &note)
{
    if (notify.RefreshEditWindow)
        notify.RefreshEditWindow();
    if (!silent && overflow && notify.ShowNote)
        notify.ShowNote("Note", note);
}

std::string LeftOutText(int device, int count)
{
    const TChipInfo *chip = ChipForDevice(device);
    return std::to_string(count) + (count == 1 ? " byte of it lies" : " bytes of it lie") + " beyond the " +
           std::to_string(CodeMemorySize(device)) + " bytes of " +
           (chip ? "the " + std::string(chip->Name) + "'s" : std::string("the")) + " code memory and " +
           (count == 1 ? "is" : "are") + " left out.";
}
