#include "settings/big_ini_file.h"

#include "temp_folder.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;
using TLines = std::vector<std::string>;

TLines Strings(const TBigIniFile &ini)
{
    TLines lines;
    ini.GetStrings(lines);
    return lines;
}

class IniFileTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string Path = Folder.File("test.ini");

    // Loads `bytes` as the file and returns the store.
    std::unique_ptr<TBigIniFile> Load(const std::string &bytes)
    {
        WriteBytes(Path, bytes);
        return std::make_unique<TBigIniFile>(Path);
    }
};

// Every line end is a line end; a NUL byte is a byte like any other, and the rest of the file stays.
TEST_F(IniFileTest, ReadsEveryLineEndingAndKeepsNulBytes)
{
    const std::string file = "[A]\ra=1\nb=2\r\nc=3\n\r\nd=4\r\r[B]\nx=1\0[C]\ny=2\r\n"s;
    auto ini = Load(file);
    EXPECT_EQ(Strings(*ini), (TLines{"[A]", "a=1", "b=2", "c=3", "", "d=4", "", "[B]", "x=1\0[C]"s, "y=2"}));
    EXPECT_EQ(ini->ReadString("B", "x", ""), "1\0[C]"s);
    EXPECT_EQ(ini->ReadString("B", "y", ""), "2");
    ini->WriteString("A", "c", "5");
    ini->UpdateFile();
    EXPECT_EQ(ReadBytes(Path), "[A]\ra=1\nb=2\r\nc=5\n\r\nd=4\r\r[B]\nx=1\0[C]\ny=2\r\n"s);
}

// Comments, lines before the first section, blank lines, end-of-file marks and sections without
// lines are no keys, but they are the user's: a save changes the lines of the keys set and nothing
// else. A new key goes after the last line of its section that is not blank; a new section follows
// a last line that had no line end.
TEST_F(IniFileTest, KeepsEveryLineItDoesNotChange)
{
    const std::string before = "; made by hand\r\nstray=1\r\n[S]\r\n; kept comment\r\n\x1A\r\nk=\x1A\r\n"
                               "no equals sign\r\n\r\n[Empty]\r\n[]\r\nz=0\n[\r\n\x1A";
    auto ini = Load(before);
    EXPECT_EQ(ini->ReadString("S", "stray", "none"), "none");
    TLines keys;
    ini->ReadSection("S", keys);
    EXPECT_EQ(keys, (TLines{"", "k", ""})) << "blank lines and the end mark name no key";
    ini->WriteString("S", "k", "1");
    ini->WriteString("S", "new", "2");
    ini->WriteString("", "z", "0");
    ini->WriteString("Added", "a", "3");
    ini->UpdateFile();
    EXPECT_EQ(ReadBytes(Path), "; made by hand\r\nstray=1\r\n[S]\r\n; kept comment\r\n\x1A\r\nk=1\r\n"
                               "no equals sign\r\nnew=2\r\n\r\n[Empty]\r\n[]\r\nz=0\n[\r\n\x1A\r\n"
                               "[Added]\r\na=3\r\n\r\n");
}

TEST_F(IniFileTest, LooksUpSectionsAndKeysIgnoringCaseButNotBlanks)
{
    auto ini = Load("[SerialPort]\nport=3\nPort = 4\nTWO=a=b\nempty=\n[serialport]\nBaud=9\n");
    EXPECT_EQ(ini->ReadString("SERIALPORT", "PORT", "d"), "3");
    EXPECT_EQ(ini->ReadString("SerialPort", "Port ", "d"), " 4");
    EXPECT_EQ(ini->ReadString("SerialPort", "two", "d"), "a=b");
    EXPECT_EQ(ini->ReadString("SerialPort", "empty", "d"), "");
    EXPECT_EQ(ini->ReadString("SerialPort", "Baud", "d"), "d") << "only the first section is read";
    EXPECT_EQ(ini->ReadString("Other", "Port", "d"), "d");
    EXPECT_EQ(ini->ReadString("SerialPort", "p\xC4rt", "d"), "d");
    TLines keys;
    ini->ReadSection("serialPORT", keys);
    EXPECT_EQ(keys, (TLines{"port", "Port ", "TWO", "empty"}));
}

TEST_F(IniFileTest, ListsAnEmptyKeyForALineWithoutEqualsSign)
{
    auto ini = Load("[S]\n; comment\nk=v\nplain text\n");
    TLines keys{"kept"};
    ini->ReadSection("s", keys);
    EXPECT_EQ(keys, (TLines{"kept", "", "k", ""}));
}

TEST_F(IniFileTest, WritingTakesTheCallersSpellingAndSetsModifiedOnlyOnChange)
{
    auto ini = Load("[serialport]\nport=3\n; note\n");
    ini->WriteString("SerialPort", "port", "3");
    EXPECT_FALSE(ini->Modified());
    ini->WriteString("SerialPort", "Port", "3");
    EXPECT_TRUE(ini->Modified()) << "the key's spelling changed the line";
    ini->WriteString("SERIALPORT", "New", "x");
    ini->WriteString("Fresh", "k", "v");
    ini->UpdateFile();
    EXPECT_FALSE(ini->Modified());
    EXPECT_EQ(ReadBytes(Path), "[serialport]\nPort=3\n; note\nNew=x\r\n[Fresh]\r\nk=v\r\n\r\n");
}

TEST_F(IniFileTest, EmptyIdentErasesTheSectionOrFlushes)
{
    auto ini = Load("[A]\na=1\n[B]\nb=2\n");
    ini->WriteString("a", "", "anything");
    EXPECT_TRUE(ini->Modified());
    TLines lines;
    ini->ReadSectionValues("A", lines);
    EXPECT_TRUE(lines.empty());
    ini->WriteString("", "", "");
    EXPECT_FALSE(ini->Modified());
    EXPECT_EQ(ReadBytes(Path), "[B]\nb=2\n");
    ini->EraseSection("Missing");
    EXPECT_FALSE(ini->Modified());
    ini->WriteString("A", "again", "1");
    EXPECT_EQ(Strings(*ini), (TLines{"[A]", "again=1", "[B]", "b=2"}));
}

TEST(IniConversionTest, IntegersConvertAsAWhole)
{
    const std::pair<const char *, std::int32_t> cases[] = {
        {"1", 1},          {"0x1", 1},           {"0X1f", 31},        {"$1", 1},
        {"x10", 16},       {"X10", 16},          {"  12", 12},        {"  0x10", 16},
        {"+7", 7},         {"-7", -7},           {"007", 7},          {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"1 ", 99},        {"", 99},             {" ", 99},           {"-", 99},
        {"$", 99},         {"0x", 99},           {"-$1", 99},         {"+0x1", 99},
        {"$123456789", 99}, {"2147483648", 99},  {"-2147483649", 99}, {"1.0", 99},
        {"99999999999999999999", 99},            {"1e3", 99},         {"\t1", 99},
    };
    for (const auto &[text, expected] : cases) {
        std::int32_t value = 99;
        TBigIniFile::ParseInteger(text, value);
        EXPECT_EQ(value, expected) << '"' << text << '"';
    }
}

TEST(IniConversionTest, FloatsReadWithAPointAndWriteIn23Characters)
{
    const std::pair<const char *, double> reads[] = {
        {"150", 150.0}, {"1.5E2", 150.0}, {"1.5e+2", 150.0}, {" -2.5", -2.5}, {"+.5", -1},
        {"5.", -1},     {" 2.00000000000000E+0002", 200.0},   {"150,5", -1}, {"1.5E", -1},
        {".5", -1},     {"1.E2", -1},     {"-0.5e-1", -0.05},
        {"", -1},       {".", -1},        {"1 ", -1},         {"inf", -1},    {"nan", -1},
        {"0x10", -1},   {"1e999", -1},    {"--1", -1},        {"E5", -1},
    };
    for (const auto &[text, expected] : reads) {
        double value = -1;
        TBigIniFile::ParseFloat(text, value);
        EXPECT_EQ(value, expected) << '"' << text << '"';
    }
    const std::pair<double, const char *> writes[] = {
        {200, " 2.00000000000000E+0002"},       {3, " 3.00000000000000E+0000"},
        {0, " 0.00000000000000E+0000"},         {-0.0, " 0.00000000000000E+0000"},
        {-1.5, "-1.50000000000000E+0000"},      {0.001, " 1.00000000000000E-0003"},
        {1e300, " 1.00000000000000E+0300"},     {123456789012345678.0, " 1.23456789012346E+0017"},
        {9.999999999999999, " 1.00000000000000E+0001"},
    };
    for (const auto &[value, expected] : writes)
        EXPECT_EQ(TBigIniFile::FormatFloat(value), expected) << value;
}

TEST(IniConversionTest, FloatsSurviveTheRoundTripTo15Digits)
{
    for (double value : {0.1, 1.0 / 3, 2.5e-7, 123.456, -98765.4321, 1e-300}) {
        double back = 0;
        ASSERT_TRUE(TBigIniFile::ParseFloat(TBigIniFile::FormatFloat(value), back));
        EXPECT_NEAR(back, value, std::fabs(value) * 1e-14) << value;
    }
}

TEST_F(IniFileTest, BooleansAndCharactersFollowTheirExactRules)
{
    auto ini = Load("[G]\na=True\nb=False\nc=true\nd=TRUE\ne=\nf=xyz\n");
    EXPECT_TRUE(ini->ReadBool("G", "a", false));
    EXPECT_FALSE(ini->ReadBool("G", "b", true));
    EXPECT_FALSE(ini->ReadBool("G", "c", false));
    EXPECT_TRUE(ini->ReadBool("G", "d", true));
    EXPECT_EQ(ini->ReadChar("G", "f", '?'), 'x');
    EXPECT_EQ(ini->ReadChar("G", "e", '?'), '?');
    EXPECT_EQ(ini->ReadChar("G", "missing", '?'), '?');
    ini->WriteBool("G", "c", true);
    ini->WriteChar("G", "e", 'B');
    ini->WriteInteger("G", "n", -5);
    EXPECT_EQ(ini->ReadString("G", "c", ""), "True");
    EXPECT_EQ(ini->ReadString("G", "e", ""), "B");
    EXPECT_EQ(ini->ReadString("G", "n", ""), "-5");
}

TEST_F(IniFileTest, RefusesTextThatWouldNotComeBackAsTheSameLine)
{
    auto ini = Load("[G]\nLastFilename=a\n");
    const std::string bad[] = {"x\n[General]\nSecure=True", "x\ry", std::string("x\0y", 3)};
    for (const std::string &value : bad)
        EXPECT_THROW(ini->WriteString("G", "LastFilename", value), EIniValueError);
    EXPECT_THROW(ini->WriteString("G\n", "k", "v"), EIniValueError);
    EXPECT_THROW(ini->WriteString("G", "[k", "v]"), EIniValueError);
    EXPECT_FALSE(ini->Modified());
    EXPECT_EQ(Strings(*ini), (TLines{"[G]", "LastFilename=a"}));
}

TEST_F(IniFileTest, PendingChangesAreSavedBeforeAnotherFileAndOnDestruction)
{
    const std::string other = Folder.File("other.ini");
    WriteBytes(other, "[O]\no=1\n");
    {
        auto ini = Load("");
        ini->WriteString("S", "k", "1");
        ini->OpenFile(other);
        EXPECT_EQ(ReadBytes(Path), "[S]\r\nk=1\r\n\r\n");
        EXPECT_EQ(ini->ReadString("O", "o", ""), "1");
        EXPECT_EQ(ini->ReadString("S", "k", "gone"), "gone");
        ini->WriteString("O", "o", "2");
    }
    EXPECT_EQ(ReadBytes(other), "[O]\no=2\n");
}

TEST_F(IniFileTest, MissingFileGivesAnEmptyStoreAndNoNameMeansNoFile)
{
    TBigIniFile missing(Folder.File("none.ini"));
    EXPECT_TRUE(Strings(missing).empty());
    EXPECT_FALSE(std::filesystem::exists(Folder.File("none.ini")));
    TBigIniFile unnamed("");
    unnamed.WriteString("S", "k", "v");
    unnamed.UpdateFile();
    EXPECT_FALSE(unnamed.Modified());
    EXPECT_EQ(unnamed.ReadString("S", "k", ""), "v");
}

TEST_F(IniFileTest, ReplacesTheFileKeepingItsModeAndSymbolicLink)
{
    auto ini = Load("[S]\nk=1\n");
    ::chmod(Path.c_str(), 0640);
    const std::string link = Folder.File("link.ini");
    std::filesystem::create_symlink(Path, link);
    TBigIniFile viaLink(link);
    viaLink.WriteString("S", "k", "2");
    viaLink.UpdateFile();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(Path), "[S]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder.Path()),
                            std::filesystem::directory_iterator()), 2)
        << "no temporary file is left behind";
}

class IniFailureTest : public IniFileTest {
protected:
    // The write fails, the error names path and reason, nothing in memory or on disk is lost.
    void ExpectWriteFails(TBigIniFile &ini, const std::string &before)
    {
        ini.WriteString("S", "k", "new");
        try {
            TUnprivileged nobody;
            ini.UpdateFile();
            ADD_FAILURE() << "no error";
        } catch (const EIniWriteError &error) {
            EXPECT_EQ(error.Path(), ini.FileName());
            EXPECT_NE(std::string(error.what()).find(ini.FileName()), std::string::npos);
            EXPECT_NE(std::string(error.what()).find("Permission denied"), std::string::npos);
        }
        EXPECT_TRUE(ini.Modified());
        EXPECT_EQ(ini.ReadString("S", "k", ""), "new");
        EXPECT_EQ(ReadBytes(ini.FileName()), before);
    }
};

// A shared install whose settings file was made writable: the file is rewritten in place, while a
// new file still cannot be made in that folder.
TEST_F(IniFailureTest, ReadOnlyFolderRewritesAWritableFileInPlace)
{
    const std::filesystem::path folder = Folder.Path() / "ro";
    std::filesystem::create_directory(folder);
    const std::string path = (folder / "s.ini").string();
    WriteBytes(path, "[S]\r\nk=old\r\nlonger=than the new file\r\n\r\n");
    ::chmod(path.c_str(), 0666);
    ::chmod(folder.c_str(), 0555);
    TBigIniFile existing(path);
    existing.EraseSection("S");
    existing.WriteString("T", "k", "new");
    {
        TUnprivileged nobody;
        existing.UpdateFile();
    }
    EXPECT_FALSE(existing.Modified());
    EXPECT_EQ(ReadBytes(path), "[T]\r\nk=new\r\n\r\n");
    TBigIniFile fresh((folder / "new.ini").string());
    ExpectWriteFails(fresh, "");
    ::chmod(folder.c_str(), 0777);
}

TEST_F(IniFailureTest, WriteToAReadOnlyFileIsReportedAndRetrySucceeds)
{
    auto ini = Load("[S]\r\nk=old\r\n\r\n");
    ::chmod(Path.c_str(), 0444);
    ExpectWriteFails(*ini, "[S]\r\nk=old\r\n\r\n");
    ::chmod(Path.c_str(), 0644);
    ini->UpdateFile();
    EXPECT_FALSE(ini->Modified());
    EXPECT_EQ(ReadBytes(Path), "[S]\r\nk=new\r\n\r\n");
}

TEST_F(IniFailureTest, UnreadableFileIsReportedAndTheStoreKeepsItsFile)
{
    auto ini = Load("[S]\nk=1\n");
    const std::string secret = Folder.File("secret.ini");
    WriteBytes(secret, "[S]\nk=2\n");
    ::chmod(secret.c_str(), 0);
    TUnprivileged nobody;
    try {
        ini->OpenFile(secret);
        ADD_FAILURE() << "no error";
    } catch (const EIniReadError &error) {
        EXPECT_EQ(std::string(error.what()), "Cannot read the settings file " + secret +
                                                 ": Permission denied");
    }
    EXPECT_EQ(ini->FileName(), Path);
    EXPECT_EQ(ini->ReadString("S", "k", ""), "1");
    EXPECT_THROW(TBigIniFile{Folder.Path().string()}, EIniReadError);
}

} // namespace
