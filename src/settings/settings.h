// The program's settings record: plain values in memory, filled from the INI store by LoadSettings
// and written back by SaveSettings. Every user reads the field it needs at the moment it acts.
#pragma once
#include <optional>
#include <string>
#include <vector>

class TBigIniFile;

struct TSettings {
    // [General]
    std::string LastFilename;
    std::string LastFiletyp = "H";
    int Device = 0;
    bool FastRedo = false;
    bool Secure = false; // read only: never written back

    // [SerialPort]
    int Port = 1;
    int Baudrate = 0;
    bool RESETInvert = false;
    bool SCLInvert = false;
    bool MOSIInvert = false;
    bool MISOInvert = false;
    int Reset_Line = 2;
    int Mosi_Line = 1;
    int Scl_Line = 0;
    int Miso_Line = 0;
    std::string PortName;  // read only: device path overriding Port, or "sim" for the virtual target
    std::string PortTrace; // read only: VCD file to record the line trace into
    // read only: ms to let the inputs settle after an output change before they are read; unset:
    // what the port's driver needs
    std::optional<double> PortSettle;
    // read only: the virtual chip's crystal in MHz, which its program runs at
    double SimCrystal = 11.0592;

    // [Delays], milliseconds
    double ResetDelay1 = 200.0;
    double ResetDelay2 = 200.0;
    double ClockDelay = 0.0;
    double WriteDelay = 3.0;
};

// The range the Parameter dialog gives each delay, in milliseconds.
struct TDelayRange {
    double Min;
    double Max;
};
constexpr TDelayRange ResetDelayRange{1, 999};
constexpr TDelayRange ClockDelayRange{0, 999};
constexpr TDelayRange WriteDelayRange{0, 999};

// A delay the file gives outside the Parameter dialog's range (a hand-edited file) is taken as the
// dialog takes it, at the nearest end of the range; the result says so, one line per delay.
std::vector<std::string> LoadSettings(const TBigIniFile &ini, TSettings &settings);
// Throws EIniWriteError when the file cannot be written, and EIniValueError (after saving the rest)
// when a setting cannot be kept.
void SaveSettings(TBigIniFile &ini, const TSettings &settings);

// The crystals the virtual chip takes, in MHz: the chips' own range, and some room below for slow
// experiments.
constexpr double MinSimCrystal = 0.1;
constexpr double MaxSimCrystal = 33.0;

// The port speed of a terminal baud-rate index, or nothing for an index outside the table (the port
// then keeps its rate).
std::optional<int> BaudRateOfIndex(int index);

// Why no chip operation can run with these settings, naming the setting and the way out: a Device
// no chip has, or MISO on no input line, from which no answer of the chip could be read. Empty when
// they can.
std::string OperationProblem(const TSettings &settings);
