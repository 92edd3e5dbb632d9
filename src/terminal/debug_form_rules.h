// The terminal window's rules that need no window: its height steps, how a BASIC file falls into
// lines, and how the interpreter's LIST reply is cleaned before it is saved.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

constexpr int MinFormHeight = 115;
constexpr int FormHeightStep = 15;

// Heights below MinFormHeight become MinFormHeight; others are raised to the next
// MinFormHeight + FormHeightStep * k.
int SteppedHeight(int height);

// Splits text read in chunks into lines the way a text file is read line by line: a line ends at
// CR LF, LF or a lone CR; a Ctrl+Z (0x1A) ends the text. A CR is ended at once (a following LF is
// swallowed), so a line goes out without waiting for the next chunk.
class TBasicLineSplitter {
public:
    // Called with each line, without its end; returning false stops the splitting.
    using TLineHandler = std::function<bool(const std::string &line)>;

    // False once the text has ended (Ctrl+Z) or the handler asked to stop.
    bool Feed(std::string_view chunk, const TLineHandler &handler);
    // Hands on a last line that had no line end; false when the handler asked to stop.
    bool Finish(const TLineHandler &handler);

private:
    bool Deliver(const TLineHandler &handler);

    std::string Current;
    bool AfterCr = false;
    bool Ended = false;
};

// Whether the answer to an uploaded line holds the interpreter's prompt: a ">" after the echo of the
// line's end (CR, or LF where the target turns it into one). A ">" in the echoed line itself (a
// comparison) is not one.
bool HoldsPromptAfterEcho(std::string_view answer);

// Bounds that keep a target that never falls silent from filling the memory: Hold keeps the newest
// HoldBytes, and a LIST capture saves what it has after CaptureBytes or CaptureTime.
struct TTerminalLimits {
    std::size_t HoldBytes = std::size_t{1} << 20;
    std::size_t CaptureBytes = std::size_t{4} << 20;
    std::chrono::milliseconds CaptureTime = std::chrono::minutes(10);
};

// Text received while Hold is on. Only the newest bytes are kept; the text handed out says
// "[older text dropped]" in front when older text was dropped.
class THeldText {
public:
    void Append(const std::string &text, std::size_t limit);
    // Everything held, with a note in front when older text was dropped; empties the held text.
    std::string Take();
    const std::string &Text() const { return Held; }

private:
    std::string Held;
    bool Dropped = false;
};

// Shown in the console where a capture stopped before the target did.
extern const char *const CaptureCutNote;

// Removes the echoed "LIST\r\n", the interpreter's "\r\nREADY\r\n" and its ">" prompt, each once.
// The prompt is looked for only from where READY stood, so that a ">" of a program line (a
// comparison) is kept.
std::string CleanCapture(std::string text);

// Whether the safe save could write a file of this name (create or replace it), so that a capture
// that could never be saved is not started.
bool CanCreateFile(const std::string &name);

// A note of the virtual target's in the console, on a line of its own: "\r\n[TEXT]\r\n".
std::string TargetNote(const std::string &text);
