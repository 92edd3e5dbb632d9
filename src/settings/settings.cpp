#include "settings/settings.h"

#include "settings/big_ini_file.h"

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

} // namespace

void LoadSettings(const TBigIniFile &ini, TSettings &s)
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
}

// Secure, PortName, PortTrace and PortSettle are set by hand only and never written, so that a first
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
