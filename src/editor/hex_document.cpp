#include "editor/hex_document.h"

#include <algorithm>

namespace {
// Block moves go through a buffer of this size, so a move never needs memory for the whole block.
constexpr int64_t MoveChunk = 1 << 20;
} // namespace

THexDocument::THexDocument() : FCache(CacheSize) {}

void THexDocument::OpenStorage()
{
    if (FStorage.IsOpen())
        return;
    FStorage.Open();
    FByteCount = -1;
    ClearMarks();
}

void THexDocument::Clear()
{
    FStorage.Truncate(0);
    FByteCount = -1;
    DropCache();
    ClearMarks();
}

int64_t THexDocument::ByteCount() const
{
    if (FByteCount < 0)
        FByteCount = FStorage.Size();
    return FByteCount;
}

void THexDocument::EnsureCache(int64_t rowStart, int rowBytes)
{
    if (FCacheStart >= 0 && FCacheStart <= rowStart && rowStart + rowBytes <= FCacheStart + CacheSize)
        return;
    FByteCount = -1;
    FCacheStart = std::max<int64_t>(0, rowStart - CacheSize / 2);
    FCacheLength = std::clamp<int64_t>(ByteCount() - FCacheStart, 0, CacheSize);
    if (FCacheLength > 0)
        FStorage.Read(FCacheStart, FCache.data(), FCacheLength);
}

uint8_t THexDocument::CachedByte(int64_t b, int rowBytes)
{
    EnsureCache(b, rowBytes);
    const int64_t at = b - FCacheStart;
    return at < FCacheLength ? FCache[static_cast<size_t>(at)] : 0;
}

std::vector<uint8_t> THexDocument::Read(int64_t pos, int64_t count)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(count, 0)));
    if (count > 0)
        FStorage.Read(pos, bytes.data(), count);
    return bytes;
}

void THexDocument::WriteByte(int64_t b, uint8_t value)
{
    FStorage.Write(b, &value, 1);
    // Every cached copy is kept current, including the last row's worth of the block: a copy left
    // stale there would still be drawn and read.
    if (FCacheStart >= 0 && FCacheStart <= b && b < FCacheStart + FCacheLength)
        FCache[static_cast<size_t>(b - FCacheStart)] = value;
}

void THexDocument::MoveBlock(int64_t from, int64_t to, int64_t count)
{
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min(count, MoveChunk)));
    // Copy from the far end when moving up and from the near end when moving down, so that
    // overlapping blocks are never overwritten before they are read.
    for (int64_t done = 0; done < count;) {
        const int64_t n = std::min(MoveChunk, count - done);
        const int64_t offset = to > from ? count - done - n : done;
        FStorage.Read(from + offset, chunk.data(), n);
        FStorage.Write(to + offset, chunk.data(), n);
        done += n;
    }
}

void THexDocument::Insert(int64_t pos, const uint8_t *data, int64_t count)
{
    const int64_t oldEnd = ByteCount();
    DropCache();
    FByteCount = -1;
    FStorage.Truncate(oldEnd + count);
    MoveBlock(pos, pos + count, oldEnd - pos);
    FStorage.Write(pos, data, count);
}

void THexDocument::Remove(int64_t pos, int64_t count)
{
    const int64_t oldEnd = ByteCount();
    DropCache();
    FByteCount = -1;
    MoveBlock(pos + count, pos, oldEnd - pos - count);
    FStorage.Truncate(oldEnd - count);
}

void THexDocument::Truncate(int64_t size)
{
    DropCache();
    FByteCount = -1;
    FStorage.Truncate(size);
}

bool THexDocument::IsChanged(int64_t b) const
{
    const auto word = static_cast<size_t>(b / 64);
    return b >= 0 && word < FMarks.size() && (FMarks[word] >> (b % 64) & 1);
}

void THexDocument::SetChanged(int64_t b, bool changed)
{
    if (b < 0)
        return;
    const auto word = static_cast<size_t>(b / 64);
    if (word >= FMarks.size()) {
        if (!changed)
            return;
        FMarks.resize(word + 1);
    }
    const uint64_t bit = uint64_t(1) << (b % 64);
    FMarks[word] = changed ? FMarks[word] | bit : FMarks[word] & ~bit;
}

void THexDocument::CutMarks(int64_t length)
{
    length = std::max<int64_t>(length, 0);
    const auto words = static_cast<size_t>((length + 63) / 64);
    if (words < FMarks.size())
        FMarks.resize(words);
    if (length % 64 && words > 0 && words <= FMarks.size())
        FMarks[words - 1] &= (uint64_t(1) << (length % 64)) - 1;
}
