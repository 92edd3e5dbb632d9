// The main-window steps a file load triggers. Either may be empty: then nothing happens, which is
// what the command-line tool wants.
#pragma once
#include <functional>
#include <string>

struct TBufferNotify {
    std::function<void()> RefreshEditWindow;
    std::function<void(const std::string &caption, const std::string &text)> ShowNote;
};

// The common end of every load: the edit window is refreshed, then the overflow note is shown
// (caption "Note") when the load dropped bytes and the caller is not silent.
void FinishLoad(const TBufferNotify &notify, bool silent, bool overflow, const std::string &note);

// The last line of the overflow notes, e.g. "1904 bytes of it lie beyond the 4096 bytes of the
// AT89S51's code memory and are left out."
std::string LeftOutText(int device, int count);
