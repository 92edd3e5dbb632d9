// The s51 console protocol against a fake s51 on the other ends of the pipes. The fake writes
// answers the way s51 0.6 does, which is what the console must survive:
// - every answer ends with a NUL (the prompt of -P with the console interactive);
// - the echo of the bytes s51 read stands at the head of an answer and may stop in the middle of a
//   line, so the line's first output is glued to it;
// - a line read while a step runs is lost without an answer.
#include "sim/s51_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

class TFakeS51 {
public:
    TFakeS51()
    {
        int commands[2], answers[2];
        EXPECT_EQ(::pipe(commands), 0);
        EXPECT_EQ(::pipe(answers), 0);
        ::fcntl(answers[0], F_SETFL, O_NONBLOCK);
        CommandsIn = commands[0];
        AnswersOut = answers[1];
        Console = std::make_unique<TS51Console>(commands[1], answers[0]);
    }
    ~TFakeS51()
    {
        Console.reset();
        ::close(CommandsIn);
        ::close(AnswersOut);
    }

    std::string ReadCommands()
    {
        char bytes[4096];
        const ssize_t n = ::read(CommandsIn, bytes, sizeof bytes);
        return n > 0 ? std::string(bytes, static_cast<std::size_t>(n)) : std::string();
    }
    void Answer(const std::string &text)
    {
        EXPECT_EQ(::write(AnswersOut, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        EXPECT_TRUE(Console->Receive());
    }

    std::unique_ptr<TS51Console> Console;

private:
    int CommandsIn = -1;
    int AnswersOut = -1;
};

const std::string StepReport = "\nStop at 0x00007d: (109) stepped 72000 ticks\n     R0 R1 R2 R3 R4 R5 R6 R7\n"
                               "     00 00 00 00 00 07 01 80\nF 0x00007d\nSimulated 72000 ticks (6.510e-03 sec)\n"
                               "Host usage: 0.000601 sec, rate=10.831681\n";

TEST(S51Console, TagsEachLineAndMatchesAnswersThroughEchoAndLostLines)
{
    TFakeS51 s51;
    TS51Console &console = *s51.Console;
    ASSERT_TRUE(console.Send("step 100", TS51Line::Step, 100));
    ASSERT_TRUE(console.Send("expr sfr[0x98];step 200", TS51Line::Registers, 200));
    ASSERT_TRUE(console.Send("step 300", TS51Line::Step, 300));
    EXPECT_EQ(s51.ReadCommands(),
              "expr /c 65;step 100\nexpr /c 66;expr sfr[0x98];step 200\nexpr /c 67;step 300\n");
    ASSERT_EQ(console.InFlight().size(), 3u);

    s51.Answer("uCsim 0.6.4, Copyright (C) 1997 Daniel Drotos.\ntype `show c' for details.\n");
    EXPECT_FALSE(console.TakeAnswer()) << "no prompt yet";
    s51.Answer(std::string(1, '\0'));
    std::optional<TS51Answer> startup = console.TakeAnswer();
    ASSERT_TRUE(startup);
    EXPECT_FALSE(startup->Line);

    // Line A lost while a step ran; B answers after an echo run that stopped mid-line.
    s51.Answer("expr /c 65;step 100\nexpr /c 6'B'\n80\n" + StepReport + std::string(1, '\0'));
    std::optional<TS51Answer> b = console.TakeAnswer();
    ASSERT_TRUE(b && b->Line);
    EXPECT_EQ(b->Line->Tag, 'B');
    EXPECT_EQ(b->Line->Kind, TS51Line::Registers);
    EXPECT_EQ(b->Line->Instructions, 200);
    EXPECT_EQ(AnswerNumbers(b->Output), std::vector<long>{80});
    EXPECT_EQ(SteppedTicks(b->Text), 72000u);
    ASSERT_EQ(console.InFlight().size(), 1u);
    EXPECT_EQ(console.InFlight().front().Tag, 'C');

    // A line whose tag went with the lost bytes still tells its ticks.
    s51.Answer("6;step 300\nSimulated 1234 ticks (1.1e-04 sec)\n" + std::string(1, '\0'));
    std::optional<TS51Answer> untagged = console.TakeAnswer();
    ASSERT_TRUE(untagged);
    EXPECT_FALSE(untagged->Line);
    EXPECT_EQ(SteppedTicks(untagged->Text), 1234u);
    console.GiveUpInFlight();
    EXPECT_TRUE(console.InFlight().empty());
}

TEST(S51Console, TagsRunThroughTheLettersAndComeRound)
{
    TFakeS51 s51;
    std::string tags;
    for (int i = 0; i < 53; ++i) {
        ASSERT_TRUE(s51.Console->Send("step 1", TS51Line::Step));
        tags += s51.Console->InFlight().back().Tag;
    }
    EXPECT_EQ(tags, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyzA");
    // With a tag twice in flight, its answer belongs to the older line.
    s51.Answer("'A'\n" + std::string(1, '\0'));
    EXPECT_EQ(s51.Console->InFlight().size(), 53u);
    ASSERT_TRUE(s51.Console->TakeAnswer());
    EXPECT_EQ(s51.Console->InFlight().size(), 52u);
}

TEST(S51Console, ReadsADumpWhateverItsCharactersColumnShows)
{
    std::vector<std::uint8_t> memory(20, 0xEE);
    const std::string dump = "0x000                      41 42 20 27 30 31 32 33 AB 'x'0123\n"
                             "0x008                      ff 00 10 11 12 13 14 15 ........\n"
                             "0x010                      55 aa 00 01             U...\n";
    ASSERT_TRUE(ReadDump(dump, memory, 8));
    EXPECT_EQ(memory, (std::vector<std::uint8_t>{0x41, 0x42, 0x20, 0x27, 0x30, 0x31, 0x32, 0x33, 0xFF, 0x00, 0x10,
                                                 0x11, 0x12, 0x13, 0x14, 0x15, 0x55, 0xAA, 0x00, 0x01}));
    std::vector<std::uint8_t> longer(24, 0xEE);
    EXPECT_FALSE(ReadDump(dump, longer, 8)) << "four bytes were not in it";
    EXPECT_FALSE(SteppedTicks("Stop at 0x0000: (105) User stopped\n"));
}

} // namespace
