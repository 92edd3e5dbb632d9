#include "settings/settings.h"

#include "buffer/chip_kind.h"
#include "settings/big_ini_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace {
const std::string General = "General";
const std::string SerialPort = "SerialPort";
const std::string Delays = "Delays";
// A settle the file cannot give (no number, negative, over a minute) leaves the driver's own.
std::optional<double> ReadSettle(const TBigIniFile &ini)
{
    const double ms = ini.ReadFloat(SerialPort, "PortSettle", -1);
    if (ms >= 0 && ms <= 60000)
        return ms;
    return std::nullopt;
}

// A crystal the file cannot give leaves the usual one, and says so.
std::optional<std::string> ReadCrystal(const TBigIniFile &ini, double &mhz)
{
    const std::string text = ini.ReadString(SerialPort, "SimCrystal", "");
    if (text.empty())
        return std::nullopt;
    const double value = ini.ReadFloat(SerialPort, "SimCrystal", -1);
    if (value >= MinSimCrystal && value <= MaxSimCrystal) {
        mhz = value;
        return std::nullopt;
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, " (%g to %g MHz): %g MHz is used", MinSimCrystal, MaxSimCrystal, mhz);
    return "SimCrystal=" + text + " in [" + SerialPort + "] is no crystal the virtual chip takes" + tail;
}

// e.g. "ClockDelay=1e9 in [Delays] lies beyond the Parameter dialog's 0 to 999 ms: 999 ms is used"
std::string ClampDelay(const TBigIniFile &ini, const char *key, TDelayRange range, double &ms)
{
    const double clamped = std::clamp(ms, range.Min, range.Max);
    if (clamped == ms)
        return {};
    ms = clamped;
    const auto number = [](double value) { return std::to_string(static_cast<int>(value)); };
    return std::string(key) + "=" + ini.ReadString(Delays, key, "") + " in [" + Delays +
           "] lies beyond the Parameter dialog's " + number(range.Min) + " to " + number(range.Max) +
           " ms: " + number(clamped) + " ms is used";
}

std::vector<std::string> ClampDelays(const TBigIniFile &ini, TSettings &s)
{
    static const struct {
        const char *Key;
        TDelayRange Range;
        double TSettings::*Field;
    } delays[] = {{"ResetDelay1", ResetDelayRange, &TSettings::ResetDelay1},
                  {"ResetDelay2", ResetDelayRange, &TSettings::ResetDelay2},
                  {"ClockDelay", ClockDelayRange, &TSettings::ClockDelay},
                  {"WriteDelay", WriteDelayRange, &TSettings::WriteDelay}};
    std::vector<std::string> notes;
    for (const auto &delay : delays)
        if (std::string note = ClampDelay(ini, delay.Key, delay.Range, s.*delay.Field); !note.empty())
            notes.push_back(std::move(note));
    return notes;
}

} // namespace

std::vector<std::string> LoadSettings(const TBigIniFile &ini, TSettings &s)
{
    const TSettings d;
    s.LastFilename = ini.ReadString(General, "LastFilename", d.LastFilename);
    s.LastFiletyp = ini.ReadString(General, "LastFiletyp", d.LastFiletyp);
    s.Device = ini.ReadInteger(General, "Device", d.Device);
    s.FastRedo = ini.ReadBool(General, "FastRedo", d.FastRedo);
    s.Port = ini.ReadInteger(SerialPort, "Port", d.Port);
    s.Baudrate = ini.ReadInteger(SerialPort, "Baudrate", d.Baudrate);
    s.RESETInvert = ini.ReadBool(SerialPort, "RESETInvert", d.RESETInvert);
    s.SCLInvert = ini.ReadBool(SerialPort, "SCLInvert", d.SCLInvert);
    s.MOSIInvert = ini.ReadBool(SerialPort, "MOSIInvert", d.MOSIInvert);
    s.MISOInvert = ini.ReadBool(SerialPort, "MISOInvert", d.MISOInvert);
    s.Reset_Line = ini.ReadInteger(SerialPort, "Reset_Line", d.Reset_Line);
    s.Mosi_Line = ini.ReadInteger(SerialPort, "Mosi_Line", d.Mosi_Line);
    s.Scl_Line = ini.ReadInteger(SerialPort, "Scl_Line", d.Scl_Line);
    s.Miso_Line = ini.ReadInteger(SerialPort, "Miso_Line", d.Miso_Line);
    s.ResetDelay1 = ini.ReadFloat(Delays, "ResetDelay1", d.ResetDelay1);
    s.ResetDelay2 = ini.ReadFloat(Delays, "ResetDelay2", d.ResetDelay2);
    s.ClockDelay = ini.ReadFloat(Delays, "ClockDelay", d.ClockDelay);
    s.WriteDelay = ini.ReadFloat(Delays, "WriteDelay", d.WriteDelay);
    s.Secure = ini.ReadBool(General, "Secure", d.Secure);
    s.PortName = ini.ReadString(SerialPort, "PortName", d.PortName);
    s.PortTrace = ini.ReadString(SerialPort, "PortTrace", d.PortTrace);
    s.PortSettle = ReadSettle(ini);
    s.SimCrystal = d.SimCrystal;
    std::vector<std::string> notes = ClampDelays(ini, s);
    if (std::optional<std::string> note = ReadCrystal(ini, s.SimCrystal))
        notes.push_back(std::move(*note));
    return notes;
}

std::optional<int> BaudRateOfIndex(int index)
{
    static constexpr std::array<int, 10> Rates{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    if (index < 0 || index >= static_cast<int>(Rates.size()))
        return std::nullopt;
    return Rates[static_cast<std::size_t>(index)];
}

// Secure, PortName, PortTrace, PortSettle and SimCrystal are set by hand only and never written, so that a first
// start writes the same file as ever. A text the file cannot hold (a file name with a line break) is
// refused alone: the other settings are still saved, then the refusal is reported.
void SaveSettings(TBigIniFile &ini, const TSettings &s)
{
    std::optional<EIniValueError> refused;
    const auto writeText = [&](const char *key, const std::string &value) {
        try {
            ini.WriteString(General, key, value);
        } catch (const EIniValueError &error) {
            if (!refused)
                refused = error;
        }
    };
    writeText("LastFilename", s.LastFilename);
    writeText("LastFiletyp", s.LastFiletyp);
    ini.WriteInteger(General, "Device", s.Device);
    ini.WriteBool(General, "FastRedo", s.FastRedo);
    ini.WriteInteger("Serialport", "Port", s.Port);
    ini.WriteInteger(SerialPort, "Baudrate", s.Baudrate);
    ini.WriteBool(SerialPort, "RESETInvert", s.RESETInvert);
    ini.WriteBool(SerialPort, "SCLInvert", s.SCLInvert);
    ini.WriteBool(SerialPort, "MOSIInvert", s.MOSIInvert);
    ini.WriteBool(SerialPort, "MISOInvert", s.MISOInvert);
    ini.WriteInteger(SerialPort, "Reset_Line", s.Reset_Line);
    ini.WriteInteger(SerialPort, "Mosi_Line", s.Mosi_Line);
    ini.WriteInteger(SerialPort, "Scl_Line", s.Scl_Line);
    ini.WriteInteger(SerialPort, "Miso_Line", s.Miso_Line);
    ini.WriteFloat(Delays, "ResetDelay1", s.ResetDelay1);
    ini.WriteFloat(Delays, "ResetDelay2", s.ResetDelay2);
    ini.WriteFloat(Delays, "ClockDelay", s.ClockDelay);
    ini.WriteFloat(Delays, "WriteDelay", s.WriteDelay);
    ini.UpdateFile();
    if (refused)
        throw *refused;
}

std::string OperationProblem(const TSettings &s)
{
    if (!ChipForDevice(s.Device)) {
        std::string chips;
        for (const TChipInfo &chip : ChipTable)
            chips += (chips.empty() ? "" : ", ") + std::to_string(static_cast<int>(chip.Kind)) + " the " + chip.Name;
        return "Device=" + std::to_string(s.Device) + " in [General] of the settings file names no chip (" + chips +
               "): choose the device in the Parameter dialog, or give korvel-cli --device";
    }
    if (s.Miso_Line < 0 || s.Miso_Line > 3)
        return "Miso_Line=" + std::to_string(s.Miso_Line) + " in [SerialPort] of the settings file puts MISO on no "
               "input line, so no answer of the chip could be read: choose CTS, DSR, RLSD or RI for MISO in the "
               "Parameter dialog (Miso_Line=0 to 3), or give korvel-cli --preset";
    return {};
}
