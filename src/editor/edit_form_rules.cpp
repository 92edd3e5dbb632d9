#include "editor/edit_form_rules.h"

#include "buffer/memory_buffer.h"

#include <algorithm>

int WriteBackEdits(TMemoryBuffer &memory, std::span<const std::uint8_t> edited)
{
    const std::size_t count = std::min(edited.size(), memory.Buffer.size());
    int changed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (memory.Buffer[i] != edited[i]) {
            memory.Buffer[i] = edited[i];
            ++changed;
        }
    }
    if (changed > 0)
        memory.WholeDevice = true;
    return changed;
}

bool UndoRevertsAnEdit(const std::string &undoText)
{
    return undoText.find("Insert") == std::string::npos;
}
