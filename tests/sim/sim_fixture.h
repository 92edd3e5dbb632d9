// A programmer wired to a virtual chip through the real link code, with the reset waits shortened.
#pragma once
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "settings/settings.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"

#include <chrono>
#include <cstdint>
#include <string>

inline TSettings QuickSettings(int device = 0)
{
    TSettings s;
    s.Device = device;
    s.ResetDelay1 = 0.0;
    s.ResetDelay2 = 0.0;
    return s;
}

inline void NoSleep(int) {}

// A write cycle no test outlives, for looking at the chip while it is still writing.
constexpr std::chrono::microseconds Forever = std::chrono::hours(1);

struct TSimRig {
    explicit TSimRig(TChipKind kind = TChipKind::AT89S8252, int device = 0, std::string image = {})
        : Settings(QuickSettings(device)), Chip(kind, std::move(image))
    {
    }

    // Reset active and Programming Enable, as every operation starts.
    void Enter()
    {
        Link.StartProgramming();
        Commands.ProgrammingEnable();
    }
    void Leave() { Link.EndProgramming(); }

    std::uint8_t Read(std::uint8_t byte1, std::uint8_t byte2)
    {
        Link.SendByte(byte1);
        Link.SendByte(byte2);
        return Link.ReceiveByte();
    }
    void Write(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3)
    {
        Link.SendByte(byte1);
        Link.SendByte(byte2);
        Link.SendByte(byte3);
    }

    TSettings Settings;
    TVirtualChip Chip;
    TVirtualAdapter Adapter{Chip, Settings};
    TIspLink Link{Adapter, Settings};
    TDeviceCommands Commands{Link, &NoSleep};
};
