// The bounded undo history: records back to back in one memory stream, the newest last, each
// ending with its own length so the stream can be walked backwards.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum TChangeKind : uint8_t {
    ckByteChanged = 0,
    ckBytesRemoved = 1,
    ckInsertBuffer = 2,
    ckReplaceSelection = 3,
    ckAppendBuffer = 4,
};

struct TUndoRecord {
    static constexpr int HeaderSize = 33;

    TChangeKind Kind = ckByteChanged;
    bool WasChanged = false; // the byte's changed mark before a kind 0 change
    bool WasModified = false;
    int32_t CaretByte = 0;
    uint8_t CaretDigit = 0; // 0 or 1 in the hex pane
    uint8_t CaretPane = 0;  // 0 hex, 1 character
    int32_t SelStart = -1;
    int32_t SelEnd = -1;
    int32_t SelAnchor = -1;
    int32_t Position = 0;
    int32_t CountA = 0;
    int32_t CountB = 0;
    std::vector<uint8_t> Payload;
};

class TUndoHistory {
public:
    static constexpr int MaxRecords = 100;

    static const char *Description(TChangeKind kind);

    void Append(const TUndoRecord &record);
    bool CanUndo() const;
    TUndoRecord Newest() const;
    // Drops the newest record; returns false when the history is empty afterwards.
    bool DropNewest();
    void Reset();

    const std::string &UndoText() const { return FText; }
    int Count() const { return FCount; }
    const std::vector<uint8_t> &Stream() const { return FStream; }

    static std::vector<uint8_t> Encode(const TUndoRecord &record);
    static TUndoRecord Decode(const uint8_t *bytes, size_t length);

private:
    void DropOldest();
    uint32_t TrailingLength(size_t end) const;

    std::vector<uint8_t> FStream;
    int FCount = 0;
    bool FAvailable = false;
    std::string FText = "No Undo";
};
