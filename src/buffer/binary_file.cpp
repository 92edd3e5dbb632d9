#include "buffer/binary_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "buffer/file_io.h"

namespace {

std::string BinaryNote(int device, int leftOut)
{
    return "The file you are going to load contains more bytes than\n"
           "the buffer for this device can hold! Please note that the\n"
           "buffer contents represents only the first " +
           std::to_string(CodeMemorySize(device)) + " bytes\nof the file contents.\n" + LeftOutText(device, leftOut);
}

} // namespace

// The bytes beyond the memory are read too, only to count them.
TFileResult LoadBinaryFile(TMemoryBuffer &memory, int device, const std::string &name, bool Silent,
                           const TBufferNotify &notify)
{
    memory.HighestAddress = -1;
    memory.FileBytes.reset();
    const std::size_t size = static_cast<std::size_t>(CodeMemorySize(device));
    std::size_t stored = 0, beyond = 0;
    TFileResult result = ReadFileInChunks(name, [&](std::string_view chunk) {
        const std::size_t fitting = std::min(chunk.size(), size - stored);
        std::memcpy(memory.Buffer.data() + stored, chunk.data(), fitting);
        stored += fitting;
        beyond += chunk.size() - fitting;
        memory.HighestAddress = static_cast<int>(stored) - 1;
        return true;
    });
    for (std::size_t i = 0; i < stored; ++i)
        memory.FileBytes.set(i);
    result.Overflow = beyond > 0;
    result.BeyondMemory = static_cast<int>(std::min<std::size_t>(beyond, INT32_MAX));
    FinishLoad(notify, Silent, result.Overflow, BinaryNote(device, result.BeyondMemory));
    return result;
}

TFileResult SaveBinaryFile(const TMemoryBuffer &memory, int device, const std::string &name)
{
    return SaveBinaryRange(memory, 0, CodeMemorySize(device) - 1, name);
}

TFileResult SaveBinaryRange(const TMemoryBuffer &memory, int first, int last, const std::string &name)
{
    if (TFileResult range = CheckSaveRange(first, last, name); !range.Ok)
        return range;
    const auto *bytes = reinterpret_cast<const char *>(memory.Buffer.data());
    const std::size_t count = static_cast<std::size_t>(std::max(0, last - first + 1));
    return SaveFileSafely(name, std::string_view(bytes + first, count));
}
