#include "sim/virtual_target.h"
#include "settings/settings.h"

TVirtualTarget::TVirtualTarget(const TSettings &settings, std::string imagePath)
    : Lock(imagePath.empty() ? nullptr : std::make_unique<TSimImageLock>(imagePath)),
      ChipPart(ChipKindForDevice(settings.Device), std::move(imagePath)), AdapterPart(ChipPart, settings),
      UartPart(ChipPart, settings)
{
}
