#include "terminal/debug_form_rules.h"

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

int SteppedHeight(int height)
{
    if (height <= MinFormHeight)
        return MinFormHeight;
    const int steps = (height - MinFormHeight + FormHeightStep - 1) / FormHeightStep;
    return MinFormHeight + steps * FormHeightStep;
}

// ---- lines of a BASIC file ----

bool TBasicLineSplitter::Deliver(const TLineHandler &handler)
{
    const std::string line = std::move(Current);
    Current.clear();
    if (!handler(line))
        Ended = true;
    return !Ended;
}

bool TBasicLineSplitter::Feed(std::string_view chunk, const TLineHandler &handler)
{
    constexpr char CtrlZ = 0x1A;
    for (const char ch : chunk) {
        if (Ended)
            break;
        const bool lfAfterCr = AfterCr && ch == '\n';
        AfterCr = ch == '\r';
        if (lfAfterCr)
            continue;
        if (ch == CtrlZ)
            Ended = true;
        else if (ch == '\r' || ch == '\n')
            Deliver(handler);
        else
            Current += ch;
    }
    return !Ended;
}

bool TBasicLineSplitter::Finish(const TLineHandler &handler)
{
    if (Current.empty())
        return !Ended;
    return Deliver(handler);
}

// ---- the upload's prompt and the bounds ----

bool HoldsPromptAfterEcho(std::string_view answer)
{
    const std::size_t lineEnd = answer.find_first_of("\r\n");
    return lineEnd != std::string_view::npos && answer.find('>', lineEnd) != std::string_view::npos;
}

namespace {
const char *const DroppedNote = "\r\n[older text dropped]\r\n";
} // namespace

const char *const CaptureCutNote = "\r\n[listing cut: the target did not fall silent]\r\n";

void THeldText::Append(const std::string &text, std::size_t limit)
{
    Held += text;
    if (Held.size() <= limit)
        return;
    Held.erase(0, Held.size() - limit);
    Dropped = true;
}

std::string THeldText::Take()
{
    std::string text = Dropped ? DroppedNote + Held : std::move(Held);
    Held.clear();
    Dropped = false;
    return text;
}

// ---- the LIST capture ----

namespace {

// Removes the first occurrence at or after `from`; returns where it stood, or npos.
std::size_t RemoveFirst(std::string &text, std::string_view what, std::size_t from = 0)
{
    const std::size_t at = text.find(what, from);
    if (at != std::string::npos)
        text.erase(at, what.size());
    return at;
}

} // namespace

std::string CleanCapture(std::string text)
{
    RemoveFirst(text, "LIST\r\n");
    const std::size_t ready = RemoveFirst(text, "\r\nREADY\r\n");
    RemoveFirst(text, ">", ready == std::string::npos ? 0 : ready);
    return text;
}

namespace {

// Asked with the effective ids, which the save's open and rename will use.
bool MayWrite(const std::filesystem::path &path, int mode)
{
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

} // namespace

bool CanCreateFile(const std::string &name)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path path(name);
    if (path.empty())
        return false;
    const fs::file_status status = fs::status(path, error);
    const bool exists = fs::exists(status);
    if (exists && !fs::is_regular_file(status))
        return false;
    // The save replaces the file from its folder, or writes it in place when only the file is
    // writable.
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (MayWrite(folder, W_OK | X_OK))
        return true;
    return exists && MayWrite(path, W_OK);
}

std::string TargetNote(const std::string &text)
{
    return "\r\n[" + text + "]\r\n";
}
