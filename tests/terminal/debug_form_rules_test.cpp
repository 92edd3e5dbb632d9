#include "terminal/debug_form_rules.h"

#include "unprivileged.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

TEST(DebugFormRules, HeightsGoToTheNextStepAndNeverBelowTheMinimum)
{
    const std::pair<int, int> cases[] = {{100, 115}, {115, 115}, {116, 130}, {130, 130},
                                         {131, 145}, {223, 235}, {-5, 115}};
    for (const auto &[asked, got] : cases)
        EXPECT_EQ(SteppedHeight(asked), got) << asked;
}

// Feeds the chunks in turn and collects the lines, as the upload does.
std::vector<std::string> Lines(const std::vector<std::string> &chunks, int stopAfter = 1000)
{
    std::vector<std::string> lines;
    const TBasicLineSplitter::TLineHandler collect = [&](const std::string &line) {
        lines.push_back(line);
        return static_cast<int>(lines.size()) < stopAfter;
    };
    TBasicLineSplitter splitter;
    bool going = true;
    for (const std::string &chunk : chunks)
        if (going)
            going = splitter.Feed(chunk, collect);
    splitter.Finish(collect);
    return lines;
}

using TLines = std::vector<std::string>;

TEST(DebugFormRules, FilesSplitAtEveryLineEndAndEndAtCtrlZ)
{
    EXPECT_EQ(Lines({"10 A\r\n20 B\n30 C\r40 D"}), (TLines{"10 A", "20 B", "30 C", "40 D"}));
    EXPECT_EQ(Lines({"10 A\r\n\r\n\n20 B\r\n"}), (TLines{"10 A", "", "", "20 B"}));
    EXPECT_EQ(Lines({"\n\r"}), (TLines{"", ""}));
    EXPECT_EQ(Lines({""}), TLines{});
    EXPECT_EQ(Lines({"10 A\r\n\x1A" "20 B\r\n"}), TLines{"10 A"});
    EXPECT_EQ(Lines({"10 A\x1A" "20 B\r\n"}), TLines{"10 A"});
    EXPECT_EQ(Lines({"\x1A" "10 A"}), TLines{});
    // A CR LF split between two chunks is one line end, and the line goes out at the CR.
    EXPECT_EQ(Lines({"10 A\r", "\n20 B\r", "\r\n"}), (TLines{"10 A", "20 B", ""}));
    // A handler that stops gets no further line, not even the unfinished last one.
    EXPECT_EQ(Lines({"10 A\r\n20 B\r\n30 C"}, 2), (TLines{"10 A", "20 B"}));
    EXPECT_EQ(Lines({"10 A\r\n20 B"}, 1), TLines{"10 A"});
}

TEST(DebugFormRules, CaptureLosesEchoReadyAndPromptButNothingOfTheProgram)
{
    EXPECT_EQ(CleanCapture("LIST\r\n10 PRINT 1\r\n\r\nREADY\r\n>"), "10 PRINT 1\r\n");
    EXPECT_EQ(CleanCapture(""), "");
    EXPECT_EQ(CleanCapture("LIST\r\n\r\nREADY\r\n>"), "");
    // A comparison in the program stays; only the prompt after READY goes.
    EXPECT_EQ(CleanCapture("LIST\r\n10 IF A>1 THEN PRINT A\r\n\r\nREADY\r\n>"),
              "10 IF A>1 THEN PRINT A\r\n");
    // Each part goes once; without READY the first prompt goes.
    EXPECT_EQ(CleanCapture("LIST\r\n>LIST\r\n>"), "LIST\r\n>");
    EXPECT_EQ(CleanCapture("LIST\r\n\r\nREADY\r\n>\r\nREADY\r\n>"), "\r\nREADY\r\n>");
}

TEST(DebugFormRules, FilesCanBeCreatedOnlyWhereTheUserMayWrite)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("korvel-rules-" + std::to_string(::getpid()));
    fs::create_directories(dir / "locked");
    std::ofstream(dir / "old.bas") << "10 PRINT 1\r\n";
    std::ofstream(dir / "locked" / "mine.bas") << "10 PRINT 1\r\n";
    ::chmod((dir / "locked").c_str(), 0555);
    ::chmod((dir / "locked" / "mine.bas").c_str(), 0666);
    ::chmod(dir.c_str(), 0777);
    {
        TUnprivileged nobody;
        EXPECT_TRUE(CanCreateFile((dir / "new.bas").string()));
        EXPECT_TRUE(CanCreateFile((dir / "old.bas").string())); // replaced, though not ours
        EXPECT_TRUE(CanCreateFile((dir / "locked" / "mine.bas").string()));
        EXPECT_FALSE(CanCreateFile((dir / "locked" / "new.bas").string()));
        EXPECT_FALSE(CanCreateFile((dir / "missing" / "new.bas").string()));
        EXPECT_FALSE(CanCreateFile(dir.string()));
        EXPECT_FALSE(CanCreateFile(""));
    }
    ::chmod((dir / "locked").c_str(), 0755);
    fs::remove_all(dir);
}

TEST(DebugFormRules, OnlyAPromptAfterTheEchoedLineEndReleasesTheNextLine)
{
    const std::pair<const char *, bool> cases[] = {
        {"", false},
        {"20 IF A>B THEN PRINT 2", false}, // the echo's own ">" is no prompt
        {"20 IF A>B THEN PRINT 2\r\n", false},
        {"20 IF A>B THEN PRINT 2\r\n>", true},
        {"10 PRINT 1\r\n 1\r\n>", true},
        {"10 PRINT 1\n>", true}, // a target that turns CR into LF
        {">", false},
    };
    for (const auto &[answer, prompt] : cases)
        EXPECT_EQ(HoldsPromptAfterEcho(answer), prompt) << answer;
}

} // namespace
