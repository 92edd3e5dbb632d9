// The main window's and the lock-bit dialog's decisions, case by case.
#include "ui/form_rules.h"
#include "settings/settings.h"
#include "ui/single_instance_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

TEST(FormRules, MenuEnablingFollowsBusySecureDeviceAndTheEditWindow)
{
    const TMenuState idle = MenuStateFor(false, false, 0, false);
    EXPECT_TRUE(idle.Parameter && idle.Buffer && idle.Device && idle.Redo && idle.DataCommands);
    const TMenuState busy = MenuStateFor(true, false, 0, false);
    EXPECT_FALSE(busy.Parameter || busy.Buffer || busy.Device || busy.Redo);
    EXPECT_FALSE(MenuStateFor(false, true, 0, false).Parameter);
    const TMenuState editing = MenuStateFor(false, false, 0, true);
    EXPECT_FALSE(editing.Device);
    EXPECT_TRUE(editing.Buffer && editing.Redo && editing.Parameter);
    EXPECT_FALSE(MenuStateFor(false, false, 1, false).DataCommands);
    EXPECT_FALSE(MenuStateFor(false, false, 7, false).DataCommands);
    for (const int device : {0, 1, 7})
        EXPECT_TRUE(MenuStateFor(false, false, device, false).VerifyData) << device;
    for (const int device : {2, 3}) {
        const TMenuState noData = MenuStateFor(false, false, device, false);
        EXPECT_FALSE(noData.DataCommands || noData.VerifyData) << device;
    }
}

TEST(FormRules, RedoPicksTheReaderFromTheTypeAndTheOperationFromTheMode)
{
    EXPECT_FALSE(RedoPlanFor("", "B", false));
    EXPECT_EQ(RedoPlanFor("/a/fw.bin", "B", false)->Loader, TLoader::Binary);
    for (const char *other : {"H", "", "b", "Binary"})
        EXPECT_EQ(RedoPlanFor("/a/fw", other, false)->Loader, TLoader::IntelHex) << other;
    EXPECT_EQ(RedoPlanFor("/a/fw", "H", false)->Operation, opWriteCode);
    EXPECT_EQ(RedoPlanFor("/a/fw", "H", true)->Operation, opWriteCodeFast);
}

TEST(FormRules, NamesBaudRatesLockBytesAndElapsedTime)
{
    EXPECT_EQ(LoaderForFile("/x/FW.HeX"), TLoader::IntelHex);
    EXPECT_EQ(LoaderForFile("fw.ihx"), TLoader::IntelHex);
    EXPECT_EQ(LoaderForFile("fw.hex.bin"), TLoader::Binary);
    EXPECT_EQ(LoaderForFile("hex"), TLoader::Binary);
    EXPECT_EQ(*BaudRateOfIndex(0), 300);
    EXPECT_EQ(*BaudRateOfIndex(9), 115200);
    EXPECT_FALSE(BaudRateOfIndex(10));
    EXPECT_FALSE(BaudRateOfIndex(-1));
    const std::uint8_t rows[8] = {0xE7, 0x67, 0xA7, 0x27, 0xC7, 0x47, 0x87, 0x07};
    for (int boxes = 0; boxes < 8; ++boxes)
        EXPECT_EQ(LockBitsByteOf(boxes & 1, boxes & 2, boxes & 4), rows[boxes]) << boxes;
    EXPECT_EQ(ElapsedText(12.34, ','), "12,3 s");
    EXPECT_EQ(ElapsedText(0, '.'), "0.0 s");
}

TEST(FormRules, ABatchWriteEndsWithTheCommandLineToolsCodes)
{
    const struct {
        bool DeviceFound, PortLost;
        int Code;
    } rows[] = {{true, false, 0}, {false, false, 1}, {true, true, 4}, {false, true, 4}};
    for (const auto &r : rows) {
        TProgStatus status;
        status.DeviceFound = r.DeviceFound;
        status.PortLost = r.PortLost;
        EXPECT_EQ(BatchExitCode(status), r.Code) << r.DeviceFound << r.PortLost;
    }
}

TEST(SingleInstanceGuard, ASecondGuardOfTheSameNameIsRefusedUntilTheFirstEnds)
{
    const std::filesystem::path runtime = std::filesystem::temp_directory_path() / "korvel-guard-test";
    std::filesystem::create_directories(runtime);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    {
        TSingleInstanceGuard first("korvel");
        ASSERT_TRUE(first.Acquired());
        EXPECT_EQ(first.LockPath(), (runtime / "korvel.lock").string());
        EXPECT_FALSE(TSingleInstanceGuard("korvel").Acquired());
        EXPECT_TRUE(TSingleInstanceGuard("korvel-copy").Acquired());
    }
    EXPECT_TRUE(TSingleInstanceGuard("korvel").Acquired());
    std::filesystem::remove_all(runtime);
}
