#include "editor/undo_history.h"

#include <cstring>

namespace {

void PutInt(std::vector<uint8_t> &out, int32_t value)
{
    const auto u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

int32_t GetInt(const uint8_t *p)
{
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
}

} // namespace

const char *TUndoHistory::Description(TChangeKind kind)
{
    switch (kind) {
    case ckByteChanged: return "Byte changed";
    case ckBytesRemoved: return "Byte(s) removed";
    case ckInsertBuffer: return "Insert buffer";
    case ckReplaceSelection: return "Replace selection";
    case ckAppendBuffer: return "Append buffer";
    }
    return "No Undo";
}

std::vector<uint8_t> TUndoHistory::Encode(const TUndoRecord &r)
{
    std::vector<uint8_t> out;
    out.reserve(TUndoRecord::HeaderSize + r.Payload.size() + 4);
    out.push_back(r.Kind);
    out.push_back(r.Kind == ckByteChanged && r.WasChanged ? 1 : 0);
    out.push_back(r.WasModified ? 1 : 0);
    PutInt(out, r.CaretByte);
    out.push_back(r.CaretDigit);
    out.push_back(r.CaretPane);
    for (int32_t v : {r.SelStart, r.SelEnd, r.SelAnchor, r.Position, r.CountA, r.CountB})
        PutInt(out, v);
    out.insert(out.end(), r.Payload.begin(), r.Payload.end());
    PutInt(out, static_cast<int32_t>(out.size() + 4));
    return out;
}

TUndoRecord TUndoHistory::Decode(const uint8_t *p, size_t length)
{
    TUndoRecord r;
    r.Kind = static_cast<TChangeKind>(p[0]);
    r.WasChanged = p[1] != 0;
    r.WasModified = p[2] != 0;
    r.CaretByte = GetInt(p + 3);
    r.CaretDigit = p[7];
    r.CaretPane = p[8];
    r.SelStart = GetInt(p + 9);
    r.SelEnd = GetInt(p + 13);
    r.SelAnchor = GetInt(p + 17);
    r.Position = GetInt(p + 21);
    r.CountA = GetInt(p + 25);
    r.CountB = GetInt(p + 29);
    r.Payload.assign(p + TUndoRecord::HeaderSize, p + length - 4);
    return r;
}

void TUndoHistory::Append(const TUndoRecord &record)
{
    FAvailable = true;
    FText = Description(record.Kind);
    const auto bytes = Encode(record);
    FStream.insert(FStream.end(), bytes.begin(), bytes.end());
    if (++FCount > MaxRecords)
        DropOldest();
}

uint32_t TUndoHistory::TrailingLength(size_t end) const
{
    return static_cast<uint32_t>(GetInt(FStream.data() + end - 4));
}

void TUndoHistory::DropOldest()
{
    size_t start = FStream.size();
    size_t length = 0;
    while (start > 0) {
        length = TrailingLength(start);
        start -= length;
    }
    FStream.erase(FStream.begin(), FStream.begin() + static_cast<std::ptrdiff_t>(length));
    --FCount;
}

bool TUndoHistory::CanUndo() const
{
    return FAvailable && FStream.size() > 4;
}

TUndoRecord TUndoHistory::Newest() const
{
    const size_t length = TrailingLength(FStream.size());
    return Decode(FStream.data() + FStream.size() - length, length);
}

bool TUndoHistory::DropNewest()
{
    FStream.resize(FStream.size() - TrailingLength(FStream.size()));
    --FCount;
    if (FStream.size() < 5) {
        Reset();
        return false;
    }
    FText = Description(Newest().Kind);
    return true;
}

void TUndoHistory::Reset()
{
    FStream.clear();
    FStream.shrink_to_fit();
    FCount = 0;
    FAvailable = false;
    FText = "No Undo";
}
