#include "settings/settings.h"

#include "settings/big_ini_file.h"
#include "temp_folder.h"

#include <clocale>
#include <gtest/gtest.h>
#include <locale>
#include <tuple>

namespace {

const std::string FirstStartFile =
    "[General]\r\nLastFilename=\r\nLastFiletyp=H\r\nDevice=0\r\nFastRedo=False\r\n\r\n"
    "[Serialport]\r\nPort=1\r\nBaudrate=0\r\nRESETInvert=False\r\nSCLInvert=False\r\n"
    "MOSIInvert=False\r\nMISOInvert=False\r\nReset_Line=2\r\nMosi_Line=1\r\nScl_Line=0\r\n"
    "Miso_Line=0\r\n\r\n"
    "[Delays]\r\nResetDelay1= 2.00000000000000E+0002\r\nResetDelay2= 2.00000000000000E+0002\r\n"
    "ClockDelay= 0.00000000000000E+0000\r\nWriteDelay= 3.00000000000000E+0000\r\n\r\n";

struct TCommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

// A German number format for both the C library and the C++ streams, for the scope.
class TCommaLocale {
public:
    TCommaLocale() : FOld(std::locale())
    {
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        std::locale::global(std::locale(std::locale::classic(), new TCommaDecimals));
    }
    ~TCommaLocale()
    {
        std::locale::global(FOld);
        std::setlocale(LC_ALL, "C");
    }

private:
    std::locale FOld;
};

class SettingsTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string Path = Folder.File("korvel.ini");

    TSettings LoadFrom(const std::string &bytes)
    {
        WriteBytes(Path, bytes);
        TSettings settings;
        LoadSettings(TBigIniFile(Path), settings);
        return settings;
    }

    void LoadSaveWith(const std::string &bytes, void (*change)(TSettings &))
    {
        WriteBytes(Path, bytes);
        TBigIniFile ini(Path);
        TSettings settings;
        LoadSettings(ini, settings);
        change(settings);
        SaveSettings(ini, settings);
    }
};

TEST_F(SettingsTest, FirstStartWritesEveryDefaultButNoReadOnlyKey)
{
    TBigIniFile ini(Path);
    TSettings settings;
    LoadSettings(ini, settings);
    settings.Secure = true;
    settings.PortName = "sim";
    settings.PortTrace = "trace.vcd";
    settings.PortSettle = 5.0;
    SaveSettings(ini, settings);
    EXPECT_EQ(ReadBytes(Path), FirstStartFile);
    EXPECT_FALSE(ini.Modified());
}

TEST_F(SettingsTest, LoadsEveryKeyFromItsSection)
{
    const TSettings s = LoadFrom(
        "[general]\nLastFilename=/home/u/fw.hex\nLastFiletyp=B\nDevice=5\nFastRedo=True\n"
        "Secure=True\n[SerialPort]\nPort=3\nBaudrate=9\nRESETInvert=True\nSCLInvert=True\n"
        "MOSIInvert=True\nMISOInvert=True\nReset_Line=7\nMosi_Line=0\nScl_Line=2\nMiso_Line=3\n"
        "PortName=/dev/ttyUSB0\nPortTrace=/tmp/t.vcd\nPortSettle=7.5\n[Delays]\nResetDelay1=1\nResetDelay2=2\n"
        "ClockDelay=0.5\nWriteDelay=4\n");
    EXPECT_EQ(s.LastFilename, "/home/u/fw.hex");
    EXPECT_EQ(s.LastFiletyp, "B");
    EXPECT_EQ(s.Device, 5);
    EXPECT_TRUE(s.FastRedo && s.Secure && s.RESETInvert && s.SCLInvert && s.MOSIInvert &&
                s.MISOInvert);
    EXPECT_EQ(s.Port, 3);
    EXPECT_EQ(s.Baudrate, 9);
    EXPECT_EQ((std::vector{s.Reset_Line, s.Mosi_Line, s.Scl_Line, s.Miso_Line}),
              (std::vector{7, 0, 2, 3}));
    EXPECT_EQ((std::vector{s.ResetDelay1, s.ResetDelay2, s.ClockDelay, s.WriteDelay}),
              (std::vector{1.0, 2.0, 0.5, 4.0}));
    EXPECT_EQ(s.PortName, "/dev/ttyUSB0");
    EXPECT_EQ(s.PortTrace, "/tmp/t.vcd");
    EXPECT_EQ(s.PortSettle, 7.5);
}

TEST_F(SettingsTest, MalformedValuesFallBackToTheirDefaults)
{
    EXPECT_EQ(LoadFrom("[General]\nDevice=0x1\n").Device, 1);
    EXPECT_EQ(LoadFrom("[General]\nDevice=$1\n").Device, 1);
    EXPECT_EQ(LoadFrom("[General]\nDevice=1 \n").Device, 0);
    EXPECT_FALSE(LoadFrom("[General]\nFastRedo=true\n").FastRedo);
    EXPECT_EQ(LoadFrom("[Delays]\nResetDelay1=150\n").ResetDelay1, 150.0);
    EXPECT_EQ(LoadFrom("[Delays]\nResetDelay1=1.5E2\n").ResetDelay1, 150.0);
    EXPECT_EQ(LoadFrom("[Delays]\nResetDelay1=150,5\n").ResetDelay1, 200.0);
    EXPECT_EQ(LoadFrom("[SerialPort]\nPort = 3\n").Port, 1);
    // An unusable settle leaves the driver's own.
    for (const char *settle : {"-1", "5ms", "90000", ""})
        EXPECT_FALSE(LoadFrom(std::string("[SerialPort]\nPortSettle=") + settle + "\n").PortSettle) << settle;
    EXPECT_EQ(LoadFrom("[SerialPort]\nPortSettle=0\n").PortSettle, 0.0);
}

TEST_F(SettingsTest, NumbersUseAPointWhateverTheLocale)
{
    TCommaLocale german;
    EXPECT_EQ(LoadFrom("[Delays]\nResetDelay1=1.5E2\nWriteDelay=150,5\n").ResetDelay1, 150.0);
    EXPECT_EQ(LoadFrom("[Delays]\nWriteDelay=150,5\n").WriteDelay, 3.0);
    std::filesystem::remove(Path);
    TBigIniFile ini(Path);
    SaveSettings(ini, TSettings());
    EXPECT_EQ(ReadBytes(Path), FirstStartFile);
}

TEST_F(SettingsTest, ExistingSpellingsAreKeptOrReplacedAsWritten)
{
    LoadSaveWith("[SerialPort]\r\nport=3\r\n; adapter on the desk\r\n",
                 [](TSettings &s) { s.Port = 4; });
    const std::string saved = ReadBytes(Path);
    EXPECT_EQ(saved.find("[Serialport]"), std::string::npos);
    EXPECT_NE(saved.find("[SerialPort]\r\nPort=4\r\n; adapter on the desk\r\nBaudrate=0\r\n"),
              std::string::npos);

    LoadSaveWith("[SerialPort]\r\nPort = 3\r\n", [](TSettings &) {});
    EXPECT_NE(ReadBytes(Path).find("[SerialPort]\r\nPort = 3\r\nPort=1\r\nBaudrate=0\r\n"),
              std::string::npos);
}

TEST_F(SettingsTest, ReadOnlyKeysAndForeignLinesSurviveASave)
{
    LoadSaveWith("; header comment\r\n[General]\r\nSecure=True\r\n[SerialPort]\r\n"
                 "PortName=sim\r\n[Extra]\r\nmine=1\r\n",
                 [](TSettings &s) { s.Device = 1; });
    const std::string saved = ReadBytes(Path);
    EXPECT_EQ(saved.rfind("; header comment\r\n[General]\r\nSecure=True\r\nLastFilename=\r\n", 0), 0u);
    EXPECT_NE(saved.find("[SerialPort]\r\nPortName=sim\r\nPort=1\r\n"), std::string::npos);
    EXPECT_NE(saved.find("[Extra]\r\nmine=1\r\n[Delays]\r\n"), std::string::npos);
}

TEST_F(SettingsTest, UnchangedSaveLeavesTheFileAlone)
{
    TBigIniFile(Path).WriteString("", "", ""); // nothing pending: no file
    EXPECT_FALSE(std::filesystem::exists(Path));
    {
        TBigIniFile ini(Path);
        SaveSettings(ini, TSettings());
    }
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), old, 0), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(Path.c_str(), &before), 0);

    TBigIniFile ini(Path);
    TSettings settings;
    LoadSettings(ini, settings);
    SaveSettings(ini, settings);
    ASSERT_EQ(::stat(Path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

    settings.WriteDelay = 2.5;
    SaveSettings(ini, settings);
    ASSERT_EQ(::stat(Path.c_str(), &after), 0);
    EXPECT_NE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    TSettings reread;
    LoadSettings(TBigIniFile(Path), reread);
    EXPECT_EQ(reread.WriteDelay, 2.5);
}

// A file name with a line break (legal on Linux) cannot be kept in the file: it alone is refused,
// every other change is saved, and the refusal says which setting and why.
TEST_F(SettingsTest, AValueTheFileCannotHoldIsRefusedAloneAndReported)
{
    TBigIniFile ini(Path);
    TSettings settings;
    settings.LastFilename = "/home/u/old.hex";
    SaveSettings(ini, settings);
    settings.LastFilename = "/home/u/a\nb.hex";
    settings.LastFiletyp = "B";
    settings.Port = 4;
    try {
        SaveSettings(ini, settings);
        ADD_FAILURE() << "nothing refused";
    } catch (const EIniFileError &error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot keep the setting LastFilename in the settings file " + Path + ": its value holds a line break");
    }
    TSettings back;
    LoadSettings(TBigIniFile(Path), back);
    EXPECT_EQ(back.LastFilename, "/home/u/old.hex");
    EXPECT_EQ(back.LastFiletyp, "B");
    EXPECT_EQ(back.Port, 4);
}

} // namespace

namespace {

// A hand-edited delay far outside what the Parameter dialog allows would hang every operation: it is
// taken as the dialog takes it, and said once per delay.
TEST_F(SettingsTest, DelaysOutsideTheDialogsRangesAreTakenAsTheDialogTakesThemAndSaidSo)
{
    WriteBytes(Path, "[Delays]\r\nResetDelay1=1e9\r\nResetDelay2=0\r\nClockDelay=-3\r\nWriteDelay=1e300\r\n");
    TBigIniFile ini(Path);
    TSettings s;
    const std::vector<std::string> notes = LoadSettings(ini, s);
    EXPECT_EQ(std::make_tuple(s.ResetDelay1, s.ResetDelay2, s.ClockDelay, s.WriteDelay),
              std::make_tuple(999.0, 1.0, 0.0, 999.0));
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "ResetDelay1=1e9 in [Delays] lies beyond the Parameter dialog's 1 to 999 ms: 999 ms is used",
                         "ResetDelay2=0 in [Delays] lies beyond the Parameter dialog's 1 to 999 ms: 1 ms is used",
                         "ClockDelay=-3 in [Delays] lies beyond the Parameter dialog's 0 to 999 ms: 0 ms is used",
                         "WriteDelay=1e300 in [Delays] lies beyond the Parameter dialog's 0 to 999 ms: 999 ms is used"}));
    SaveSettings(ini, s);
    EXPECT_TRUE(LoadSettings(TBigIniFile(Path), s).empty()) << "the file now holds what is used";
    EXPECT_TRUE(LoadSettings(TBigIniFile(""), s).empty()) << "the defaults lie within";
}

// The virtual chip's crystal is read only: a value it cannot run at is said and leaves the usual one.
TEST_F(SettingsTest, SimCrystalIsReadWithinItsRangeAndNeverWritten)
{
    EXPECT_EQ(LoadFrom("").SimCrystal, 11.0592);
    EXPECT_EQ(LoadFrom("[SerialPort]\nSimCrystal=24\n").SimCrystal, 24.0);
    for (const char *bad : {"0", "-3", "40", "fast"}) {
        WriteBytes(Path, std::string("[SerialPort]\nSimCrystal=") + bad + "\n");
        TBigIniFile ini(Path);
        TSettings s;
        EXPECT_EQ(LoadSettings(ini, s), std::vector<std::string>{std::string("SimCrystal=") + bad +
                                                                 " in [SerialPort] is no crystal the virtual chip "
                                                                 "takes (0.1 to 33 MHz): 11.0592 MHz is used"});
        EXPECT_EQ(s.SimCrystal, 11.0592) << bad;
    }
    TBigIniFile ini(Path);
    TSettings s;
    s.SimCrystal = 12;
    SaveSettings(ini, s);
    EXPECT_EQ(ReadBytes(Path).find("SimCrystal=12"), std::string::npos);
}

TEST(OperationProblem, NamesADeviceNoChipHasAndAMisoWithoutAnInput)
{
    TSettings s;
    EXPECT_EQ(OperationProblem(s), "");
    for (int device : {-1, 4, 99}) {
        s.Device = device;
        EXPECT_EQ(OperationProblem(s).rfind("Device=" + std::to_string(device) + " in [General] of the settings file "
                                            "names no chip (0 the AT89S8252, 1 the AT89S53, 2 the AT89S51, 3 the AT89S52)",
                                            0),
                  0u)
            << OperationProblem(s);
    }
    s.Device = 3;
    for (int line : {-1, 4}) {
        s.Miso_Line = line;
        EXPECT_NE(OperationProblem(s).find("Miso_Line=" + std::to_string(line) + " in [SerialPort] of the settings "
                                           "file puts MISO on no input line"),
                  std::string::npos);
    }
}

} // namespace
