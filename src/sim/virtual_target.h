// The whole virtual target as a front end needs it: a chip of the kind the Device setting names, kept
// in an optional image file, behind an adapter wired the way the settings say, running its program
// on its UART while RESET is released.
#pragma once
#include "sim/sim_image_lock.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"
#include "sim/virtual_uart.h"
#include <memory>
#include <string>

class TVirtualTarget {
public:
    // An image is held for the target's life (TSimImageLock). Throws TSimImageInUse while another run
    // holds it, TSimImageError when the image exists but cannot be used.
    explicit TVirtualTarget(const TSettings &settings, std::string imagePath = {});
    // The settings are read at every request, so they must outlive the target.
    TVirtualTarget(const TSettings &&, std::string = {}) = delete;

    TLineInterface &Lines() { return AdapterPart; }
    TVirtualAdapter &Adapter() { return AdapterPart; }
    TVirtualChip &Chip() { return ChipPart; }
    TVirtualUart &Uart() { return UartPart; }
    const TVirtualUart &Uart() const { return UartPart; }

private:
    std::unique_ptr<TSimImageLock> Lock; // before the chip, which reads the image it holds
    TVirtualChip ChipPart;
    TVirtualAdapter AdapterPart;
    TVirtualUart UartPart; // after the chip: what its program wrote goes into it at the end
};
