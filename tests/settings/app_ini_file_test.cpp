#include "settings/app_ini_file.h"

#include "temp_folder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

namespace {

namespace fs = std::filesystem;

// Points XDG_CONFIG_HOME and HOME into the scratch folder for the test's duration.
class SettingsLocationTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    fs::path Program = Folder.Path() / "bin" / "korvel";
    fs::path Config = Folder.Path() / "config";

    void SetUp() override
    {
        fs::create_directories(Program.parent_path());
        fs::permissions(Program.parent_path(), fs::perms::all);
        SaveEnv("XDG_CONFIG_HOME", FOldXdg);
        SaveEnv("HOME", FOldHome);
        ::setenv("XDG_CONFIG_HOME", Config.c_str(), 1);
        ::setenv("HOME", (Folder.Path() / "home").c_str(), 1);
    }
    void TearDown() override
    {
        RestoreEnv("XDG_CONFIG_HOME", FOldXdg);
        RestoreEnv("HOME", FOldHome);
    }
    void MakeProgramFolderReadOnly() { fs::permissions(Program.parent_path(), fs::perms(0555)); }

private:
    static void SaveEnv(const char *name, std::optional<std::string> &saved)
    {
        if (const char *value = std::getenv(name))
            saved = value;
    }
    static void RestoreEnv(const char *name, const std::optional<std::string> &saved)
    {
        if (saved)
            ::setenv(name, saved->c_str(), 1);
        else
            ::unsetenv(name);
    }
    std::optional<std::string> FOldXdg, FOldHome;
};

TEST_F(SettingsLocationTest, BesideAWritableProgramWithItsExtensionReplaced)
{
    TUnprivileged nobody;
    EXPECT_EQ(SettingsFilePathFor(Program), Program.parent_path() / "korvel.ini");
    EXPECT_EQ(SettingsFilePathFor(Folder.Path() / "bin" / "korvel.bin"),
              Program.parent_path() / "korvel.ini");
    EXPECT_EQ(SettingsFilePathFor(Folder.Path() / "bin" / "korvel.1.2"),
              Program.parent_path() / "korvel.1.ini");
    EXPECT_FALSE(fs::exists(Config));
}

TEST_F(SettingsLocationTest, ReadOnlyProgramFolderFallsBackToTheUserConfigFolder)
{
    MakeProgramFolderReadOnly();
    TUnprivileged nobody;
    EXPECT_EQ(SettingsFilePathFor(Program), Config / "korvel" / "korvel.ini");
    EXPECT_TRUE(fs::is_directory(Config / "korvel"));

    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(SettingsFilePathFor(Program), Folder.Path() / "home" / ".config" / "korvel" / "korvel.ini");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFilePathFor(Program), Folder.Path() / "home" / ".config" / "korvel" / "korvel.ini");
}

TEST_F(SettingsLocationTest, AnInstalledProgramKeepsItsSettingsPerUserEvenWhereItsFolderIsWritable)
{
    fs::create_directories(Folder.Path() / "share" / "doc" / "korvel");
    EXPECT_EQ(SettingsFilePathFor(Program), Config / "korvel" / "korvel.ini");
}

TEST_F(SettingsLocationTest, ExistingFileInAReadOnlyProgramFolderIsStillUsed)
{
    WriteBytes((Program.parent_path() / "korvel.ini").string(), "[General]\r\nDevice=1\r\n");
    MakeProgramFolderReadOnly();
    TUnprivileged nobody;
    EXPECT_EQ(SettingsFilePathFor(Program), Program.parent_path() / "korvel.ini");
}

TEST(SettingsFileTest, RunningProgramsFileIsBesideTheTestExecutable)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(ProgramFile(), exe);
    EXPECT_EQ(SettingsFilePath(), exe.parent_path() / (exe.filename().string() + ".ini"));
    TAppIniFile ini;
    EXPECT_EQ(ini.FileName(), SettingsFilePath().string());
    EXPECT_FALSE(ini.Modified());
}

} // namespace
