// The private file that holds a hex editor's document, so the document never has to fit in memory.
#pragma once
#include <cstdint>
#include <string>

class TStorageFile {
public:
    // Picks the name (temporary directory, tick counter, ".ZWHT"); nothing is created yet.
    TStorageFile();
    ~TStorageFile();
    TStorageFile(const TStorageFile &) = delete;
    TStorageFile &operator=(const TStorageFile &) = delete;

    const std::string &Path() const { return FPath; }
    bool IsOpen() const { return FFd >= 0; }
    // Creates the file exclusively (mode 0600, links not followed). A name taken in the meantime
    // by someone else is never opened: a fresh name is picked instead.
    void Open();
    // Empties the document; the file stays, so its name never has to be taken again.
    void Truncate(int64_t size);
    int64_t Size() const;
    void Read(int64_t pos, uint8_t *dst, int64_t count) const;
    void Write(int64_t pos, const uint8_t *src, int64_t count);

    static std::string NameFor(const std::string &tempDir, uint32_t tick);

private:
    std::string FPath;
    int FFd = -1;
};
