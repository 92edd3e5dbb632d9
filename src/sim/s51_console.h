// The command console of the s51 simulator on a pair of pipes, and what its answers say.
//
// s51 runs with -P and its console set interactive: after each command line it prints the line's
// answer and then the prompt, a single NUL. Lines may be sent ahead of their answers, which come in
// order, but two habits of s51 keep an answer from being matched to its line by counting:
// - It echoes every byte it reads, in runs of up to 99 bytes that land at the head of an answer and
//   may end in the middle of a line, so the first thing the line prints can be glued to the echo.
// - A byte it finds waiting while a step runs stops the step ("User stopped") and is thrown away with
//   whatever else it read at that moment: a line, or part of one, is lost without an answer.
// So every line starts with a tag command, `expr /c N`, whose answer is the character N in quotes;
// no command line contains a quote, so the first quoted character in an answer is the line's tag,
// and everything after it is the line's own output. Tags run through the letters; answers come in
// order, so an answer tagged N belongs to the oldest line in flight with that tag, and the lines
// older than that one were lost.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TS51Line { Setup, Step, Registers, Dump };

struct TS51Sent {
    char Tag;
    TS51Line Kind;
    long Instructions; // of a step
};

// An answer matched to its line, with the line's own output.
struct TS51Answer {
    std::optional<TS51Sent> Line; // none for the startup notice and for the lines lost before
    std::string Text;             // the whole answer
    std::string Output;           // what the line printed, after its tag
};

class TS51Console {
public:
    // Takes over both descriptors: commands go to `toS51`, answers come from `fromS51`.
    TS51Console(int toS51, int fromS51);
    ~TS51Console();
    TS51Console(const TS51Console &) = delete;
    TS51Console &operator=(const TS51Console &) = delete;

    int AnswerFd() const { return From; }
    // Sends a line of commands (joined by ';'); false when s51 no longer reads its console.
    bool Send(const std::string &commands, TS51Line kind, long instructions = 0);
    // The lines sent and neither answered nor lost yet, oldest first.
    const std::deque<TS51Sent> &InFlight() const { return Sent; }
    // Forgets the lines in flight: after s51 has fallen silent, none of them will be answered.
    void GiveUpInFlight() { Sent.clear(); }
    // Reads what has arrived without waiting; false at the end (s51 ended).
    bool Receive();
    // The oldest complete answer not taken yet.
    std::optional<TS51Answer> TakeAnswer();
    // Everything s51 printed that no answer took yet: the reason, when it ends before answering.
    const std::string &Unanswered() const { return Pending; }

private:
    std::optional<TS51Sent> Match(char tag);

    int To;
    int From;
    std::deque<TS51Sent> Sent;
    char NextTag = 'A';
    std::string Pending;
};

// The tag of an answer, and what follows it.
std::optional<std::pair<char, std::string_view>> TaggedOutput(std::string_view answer);
// The machine ticks (crystal periods) a step ran: "Simulated 20664 ticks (1.868e-03 sec)".
std::optional<std::uint64_t> SteppedTicks(std::string_view answer);
// The lines that are a number and nothing else, in order: the values of "expr" commands.
std::vector<long> AnswerNumbers(std::string_view output);
// Puts the bytes of a "dump" answer ("0x010  55 9e b3 ...", `perLine` bytes a line) into `memory` at
// their addresses; says whether every byte of `memory` was in it. On false, `memory` holds a mix.
bool ReadDump(std::string_view output, std::vector<std::uint8_t> &memory, int perLine);
