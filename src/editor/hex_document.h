// The bytes of a hex editor's document: its storage file, a 64 KiB view cache for drawing and the
// changed-byte marks. The document itself is never held in memory.
#pragma once
#include "editor/storage_file.h"

#include <cstdint>
#include <vector>

class THexDocument {
public:
    static constexpr int64_t CacheSize = 65536;

    THexDocument();

    const std::string &StoragePath() const { return FStorage.Path(); }
    bool HasStream() const { return FStorage.IsOpen(); }
    void OpenStorage();
    // Empties the document and forgets the marks; the storage file stays.
    void Clear();
    int64_t ByteCount() const;

    // Reads through the view cache; `rowBytes` bytes from b on must fit in it.
    uint8_t CachedByte(int64_t b, int rowBytes);
    void EnsureCache(int64_t rowStart, int rowBytes);
    void DropCache() { FCacheStart = -1; }
    int64_t CacheStart() const { return FCacheStart; }

    std::vector<uint8_t> Read(int64_t pos, int64_t count);
    void WriteByte(int64_t b, uint8_t value);
    void Insert(int64_t pos, const uint8_t *data, int64_t count);
    void Remove(int64_t pos, int64_t count);
    void Truncate(int64_t size);

    bool IsChanged(int64_t b) const;
    void SetChanged(int64_t b, bool changed);
    void CutMarks(int64_t length);
    void ClearMarks() { FMarks.clear(); }

private:
    void MoveBlock(int64_t from, int64_t to, int64_t count);

    TStorageFile FStorage;
    mutable int64_t FByteCount = -1; // -1: re-read from the stream on demand
    std::vector<uint8_t> FCache;
    int64_t FCacheStart = -1;
    int64_t FCacheLength = 0;
    std::vector<uint64_t> FMarks;
};
