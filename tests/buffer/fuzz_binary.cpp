// Arbitrary files through the binary loader: exactly the bytes that fit are stored, nothing beyond
// the code memory changes, and the overflow is reported exactly when the file is too long.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buffer/binary_file.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int device = data[0] % 3;
    const std::string_view contents(reinterpret_cast<const char *>(data + 1), size - 1);
    TMemoryBuffer memory;
    memory.Buffer.fill(0xA5);
    const TFileResult result = LoadBinaryFile(memory, device, FuzzFile(contents), false, {});
    const std::size_t fitting = std::min(contents.size(), static_cast<std::size_t>(CodeMemorySize(device)));
    if (!result.Ok || result.Overflow != (contents.size() > fitting) ||
        memory.HighestAddress != static_cast<int>(fitting) - 1 ||
        std::memcmp(memory.Buffer.data(), contents.data(), fitting) != 0 ||
        std::count(memory.Buffer.begin() + static_cast<std::ptrdiff_t>(fitting), memory.Buffer.end(), 0xA5) !=
            static_cast<std::ptrdiff_t>(BufferSize - fitting))
        std::abort();
    return 0;
}
