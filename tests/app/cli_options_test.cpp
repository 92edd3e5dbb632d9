// The command line of korvel-cli: commands, options, lock bits and the errors that end in exit code 3.
#include "app/cli_options.h"
#include "buffer/hex_file.h"

#include <gtest/gtest.h>

namespace {

TCliParse Parse(std::vector<std::string> args)
{
    return ParseCliOptions(args);
}

TEST(CliOptions, CommandsWithAndWithoutFile)
{
    TCliParse p = Parse({"--port", "sim:/tmp/x.sim", "--whole", "write-code", "fw.hex"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Command, TCliCommand::WriteCode);
    EXPECT_EQ(p.Options.File, "fw.hex");
    EXPECT_EQ(p.Options.Port, "sim:/tmp/x.sim");
    EXPECT_TRUE(p.Options.Whole);

    p = Parse({"erase", "--quiet", "--device=53", "--write-delay", "2.5", "--settle=0"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Command, TCliCommand::Erase);
    EXPECT_EQ(p.Options.Device, 1);
    EXPECT_EQ(p.Options.WriteDelay, 2.5);
    EXPECT_EQ(p.Options.Settle, 0.0);
    EXPECT_TRUE(p.Options.Quiet);
    const std::pair<const char *, int> devices[] = {{"8252", 0}, {"53", 1}, {"51", 2}, {"52", 3}};
    for (const auto &[name, device] : devices)
        EXPECT_EQ(Parse({"--device", name, "detect"}).Options.Device, device) << name;
}

// terminal takes no FILE; its --seconds and the virtual chip's --crystal take numbers within bounds.
TEST(CliOptions, TerminalSecondsAndCrystal)
{
    TCliParse p = Parse({"terminal", "--seconds", "2.5", "--crystal=12"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Command, TCliCommand::Terminal);
    EXPECT_EQ(p.Options.Seconds, 2.5);
    EXPECT_EQ(p.Options.Crystal, 12.0);
    EXPECT_FALSE(Parse({"terminal"}).Options.Seconds) << "until a signal";
    EXPECT_NE(Parse({"terminal", "log.txt"}).Error, "");
    for (const char *seconds : {"-1", "1e9", "2s", ""})
        EXPECT_NE(Parse({"terminal", "--seconds", seconds}).Error, "") << seconds;
    for (const char *mhz : {"0", "0.05", "34", "11.0592MHz"})
        EXPECT_NE(Parse({"--crystal", mhz, "terminal"}).Error, "") << mhz;
    EXPECT_EQ(Parse({"--crystal", "33", "detect"}).Options.Crystal, 33.0);
}

TEST(CliOptions, LockBitsClearTheirBits)
{
    EXPECT_EQ(Parse({"lock"}).Options.LockBitsByte, 0xE7);
    EXPECT_EQ(Parse({"lock", "2"}).Options.LockBitsByte, 0xA7);
    EXPECT_EQ(Parse({"lock", "1", "2", "3"}).Options.LockBitsByte, 0x07);
    EXPECT_NE(Parse({"lock", "0"}).Error, "");
}

TEST(CliOptions, Mistakes)
{
    EXPECT_NE(Parse({}).Error, "");
    EXPECT_NE(Parse({"write-code"}).Error, "") << "a missing FILE";
    EXPECT_NE(Parse({"detect", "extra"}).Error, "");
    EXPECT_NE(Parse({"--device", "89", "detect"}).Error, "");
    EXPECT_NE(Parse({"--preset", "Nope", "detect"}).Error, "");
    EXPECT_NE(Parse({"--write-delay", "-1", "detect"}).Error, "");
    EXPECT_NE(Parse({"--write-delay", "3ms", "detect"}).Error, "");
    EXPECT_NE(Parse({"--settle", "-5", "detect"}).Error, "");
    EXPECT_NE(Parse({"detect", "--port"}).Error, "") << "an option without its value";
    for (const char *port : {"0", "256", "0001"})
        EXPECT_NE(Parse({"--port", port, "detect"}).Error, "") << port;
    EXPECT_EQ(Parse({"--port", "255", "detect"}).Error, "");
    EXPECT_NE(Parse({"--bogus", "detect"}).Error, "");
    EXPECT_EQ(Parse({"-V"}).Error, "unknown option -V") << "not taken for a command";
    EXPECT_EQ(Parse({"--preset", "atmel", "detect"}).Error, "") << "preset names ignore case";
    EXPECT_TRUE(Parse({"detect", "--help"}).Help);
    EXPECT_TRUE(Parse({"--version"}).Version) << "needs no command";
}

TEST(CliOptions, FileKindByExtension)
{
    EXPECT_TRUE(IsHexFileName("a/b/fw.HEX"));
    EXPECT_TRUE(IsHexFileName("fw.ihx"));
    EXPECT_FALSE(IsHexFileName("fw.bin"));
    EXPECT_FALSE(IsHexFileName("hex"));
}

} // namespace
