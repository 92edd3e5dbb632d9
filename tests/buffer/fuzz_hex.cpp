// Arbitrary bytes as one record line, as a stream fed in chunks, and as a file: no crash, no byte
// stored at or beyond the code memory, and the file load agrees with the chunked stream, refusals
// included.
#include <cstdint>
#include <cstdlib>

#include "buffer/hex_file.h"
#include "buffer/hex_reader.h"
#include "fuzz_file.h"

namespace {

constexpr std::uint8_t Guard = 0xA5;

TMemoryBuffer Guarded()
{
    TMemoryBuffer memory;
    memory.Buffer.fill(Guard);
    return memory;
}

void CheckBounds(const TMemoryBuffer &memory, int device)
{
    const int size = CodeMemorySize(device);
    if (memory.HighestAddress < 0 || memory.HighestAddress >= size)
        std::abort();
    for (int i = size; i < BufferSize; ++i)
        if (memory.Buffer[static_cast<std::size_t>(i)] != Guard)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int device = data[0] % 3;
    const std::size_t chunkSize = 1 + data[0] / 3;
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

    TMemoryBuffer line = Guarded();
    std::uint32_t base = 0;
    ParseHexLine(line, device, text, base);
    CheckBounds(line, device);

    TMemoryBuffer streamed = Guarded();
    THexReader reader(streamed, device);
    for (std::size_t at = 0; at < text.size(); at += chunkSize)
        reader.Feed(text.substr(at, chunkSize));
    reader.Finish();
    CheckBounds(streamed, device);

    TMemoryBuffer loaded = Guarded();
    const TFileResult result = LoadHexFile(loaded, device, FuzzFile(text), false, {});
    CheckBounds(loaded, device);
    // A text without a data record is refused and changes nothing; the stream stored nothing from it.
    const bool refused = reader.Findings().DataRecords == 0;
    if (result.Ok == refused || result.Overflow != reader.Overflow() || loaded.Buffer != streamed.Buffer ||
        loaded.HighestAddress != streamed.HighestAddress)
        std::abort();
    return 0;
}
