// The VCD line-trace recorder around a scripted line driver.
#include "recording_lines.h"
#include "sim_fixture.h"
#include "link/line_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TChange {
    std::int64_t Time;
    char Signal; // the VCD identifier: r, c, o, i
    char Value;
    bool operator==(const TChange &) const = default;
};

struct TVcd {
    std::vector<std::string> Header; // up to and including $enddefinitions
    std::vector<TChange> Changes;    // after the initial $dumpvars block
    std::vector<std::int64_t> Stamps;
};

TVcd ParseVcd(const std::string &path)
{
    std::ifstream in(path);
    TVcd vcd;
    std::string line;
    while (std::getline(in, line) && (vcd.Header.push_back(line), line != "$enddefinitions $end")) {
    }
    std::int64_t time = -1;
    bool inDump = false;
    while (std::getline(in, line)) {
        if (line == "$dumpvars" || line == "$end") {
            inDump = line == "$dumpvars";
        } else if (line[0] == '#') {
            time = std::stoll(line.substr(1));
            vcd.Stamps.push_back(time);
        } else if (!inDump) {
            vcd.Changes.push_back({time, line[1], line[0]});
        }
    }
    return vcd;
}

class LineTraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Path = (fs::temp_directory_path() /
                ("korvel_trace_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".vcd"))
                   .string();
    }
    void TearDown() override { fs::remove(Path); }

    std::vector<TChange> Changes() const
    {
        std::vector<TChange> changes = ParseVcd(Path).Changes;
        for (TChange &c : changes)
            c.Time = 0; // the content and order matter here, not the times
        return changes;
    }

    std::string Path;
    TSettings Settings = QuickSettings();
    TRecordingLines Inner;
};

TEST_F(LineTraceTest, WritesTheHeaderAndStampsEveryChangeLaterThanTheLast)
{
    {
        TLineTrace trace(Inner, Settings, Path);
        for (int i = 0; i < 5000; ++i) // more than one buffer's worth, far faster than 1 per microsecond
            trace.SetBreak(i % 2 == 0);
    }
    const TVcd vcd = ParseVcd(Path);
    ASSERT_GE(vcd.Header.size(), 8u);
    EXPECT_EQ(vcd.Header.front(), "$timescale 1 us $end");
    for (const char *var : {"$var wire 1 r rst $end", "$var wire 1 c sck $end", "$var wire 1 o mosi $end",
                            "$var wire 1 i miso $end"})
        EXPECT_NE(std::find(vcd.Header.begin(), vcd.Header.end(), var), vcd.Header.end()) << var;
    ASSERT_EQ(vcd.Changes.size(), 5000u);
    ASSERT_EQ(vcd.Stamps.size(), 5001u);
    EXPECT_EQ(vcd.Stamps.front(), 0);
    for (std::size_t i = 1; i < vcd.Stamps.size(); ++i)
        ASSERT_GT(vcd.Stamps[i], vcd.Stamps[i - 1]) << "stamp " << i;
    EXPECT_EQ(vcd.Changes.back(), (TChange{vcd.Stamps.back(), 'c', '0'}));
}

TEST_F(LineTraceTest, ForwardsEveryCallOnceAndUnchanged)
{
    Inner.Input = [](TLineCall call) { return call == TLineCall::Dsr || call == TLineCall::Ri; };
    TLineTrace trace(Inner, Settings, Path);
    trace.SetBreak(true);
    trace.SetRts(false);
    trace.SetDtr(true);
    trace.SetDtr(true);
    EXPECT_FALSE(trace.GetCTS());
    EXPECT_TRUE(trace.GetDSR());
    EXPECT_FALSE(trace.GetRLSD());
    EXPECT_TRUE(trace.GetRI());
    const std::vector<TLineEvent> expected = {{TLineCall::Break, true}, {TLineCall::Rts, false},
                                              {TLineCall::Dtr, true},   {TLineCall::Dtr, true},
                                              {TLineCall::Cts, false},  {TLineCall::Dsr, true},
                                              {TLineCall::Rlsd, false}, {TLineCall::Ri, true}};
    EXPECT_EQ(Inner.Events, expected);
}

TEST_F(LineTraceTest, RecordsPinLevelsAfterInversionAndMisoAsSampled)
{
    Settings.Scl_Line = 2;
    Settings.Mosi_Line = 0;
    Settings.Reset_Line = 1;
    Settings.Miso_Line = 1;
    Settings.RESETInvert = true;
    Settings.MISOInvert = true;
    bool dsr = false;
    Inner.Input = [&dsr](TLineCall) { return dsr; };
    {
        TLineTrace trace(Inner, Settings, Path);
        trace.SetRts(false); // RESET through an inverter: high
        trace.SetDtr(true);  // SCK high
        trace.SetDtr(true);  // no change, nothing recorded
        trace.SetBreak(false);
        trace.GetCTS(); // not the MISO line
        trace.GetDSR(); // off, inverted: 1
        trace.GetDSR();
        dsr = true;
        trace.GetDSR();
        trace.SetRts(true);
    }
    const std::vector<TChange> expected = {{0, 'r', '1'}, {0, 'c', '1'}, {0, 'o', '0'},
                                           {0, 'i', '1'}, {0, 'i', '0'}, {0, 'r', '0'}};
    EXPECT_EQ(Changes(), expected);
}

TEST_F(LineTraceTest, ALineSharedByTwoFunctionsMovesBothAndUnconnectedOnesStayUnknown)
{
    Settings.Mosi_Line = 0; // the same line as SCL
    Settings.Reset_Line = 3;
    Settings.Miso_Line = 4;
    {
        TLineTrace trace(Inner, Settings, Path);
        trace.SetBreak(true);
        trace.SetDtr(true);
        trace.GetCTS();
        trace.GetRI();
    }
    const TVcd vcd = ParseVcd(Path);
    ASSERT_EQ(vcd.Changes.size(), 2u);
    EXPECT_EQ(vcd.Changes[0].Time, vcd.Changes[1].Time);
    EXPECT_EQ(Changes(), (std::vector<TChange>{{0, 'c', '1'}, {0, 'o', '1'}}));
}

TEST_F(LineTraceTest, AnUnwritablePathIsAClearError)
{
    const std::string path = "/nonexistent-korvel-dir/trace.vcd";
    try {
        TLineTrace trace(Inner, Settings, path);
        ADD_FAILURE() << "no error for " << path;
    } catch (const TLineTraceError &error) {
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
    EXPECT_TRUE(Inner.Events.empty());
}

TEST_F(LineTraceTest, AFailedWriteIsKeptForTheCaller)
{
    TLineTrace trace(Inner, Settings, "/dev/full");
    trace.SetBreak(true);
    EXPECT_TRUE(trace.WriteError().empty());
    trace.Flush();
    EXPECT_NE(trace.WriteError().find("/dev/full"), std::string::npos) << trace.WriteError();
    trace.SetBreak(false);
    EXPECT_EQ(Inner.Events.size(), 2u) << "the lines keep working";
}

} // namespace
