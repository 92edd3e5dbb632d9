// The steps of the programming thread that belong to its front end. The GUI runs each of them on the
// UI thread and makes the programming thread wait for it (blocking queued calls); the command-line
// tool runs them inline. They are called in the order of the operation, and OperationFinished last.
#pragma once
#include <cstdint>
#include <string>

class TProgUi {
public:
    virtual ~TProgUi() = default;
    virtual void ClearDifferences() = 0;
    virtual void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) = 0;
    virtual void RefreshEditWindow() = 0;
    virtual void ShowElapsed(double seconds) = 0;
    virtual void OperationFinished() = 0;
};

// "Byte $01A0 Buffer: $FF Device: $00"
std::string DifferenceLine(int address, std::uint8_t buffer, std::uint8_t device);

struct TProgStatus;

// "12 bytes read back wrong after the write cycle of the chip's datasheet and were written once
// more, ...": what a write says of the bytes it wrote a second time.
std::string RewrittenText(int bytes);

// What the completion handler tells the user about the operation that just ended.
struct TFinishMessage {
    bool Show = false;            // a message box (with a beep before it)
    std::string Text;
    std::string Caption;
    bool ShowDifferences = false; // then the differences window
};
TFinishMessage FinishMessage(const TProgStatus &status);
