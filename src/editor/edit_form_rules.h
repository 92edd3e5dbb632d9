// The Edit Buffer window's decisions that need no window: what Ok writes back into the buffer, and
// how far Undo may go.
#pragma once
#include <cstdint>
#include <span>
#include <string>

struct TMemoryBuffer;

// Stores every edited byte that differs from the buffer at its index and sets WholeDevice when at
// least one did. An unchanged buffer keeps WholeDevice as it was, so looking at a loaded file does not
// widen its write range. Returns how many bytes changed.
int WriteBackEdits(TMemoryBuffer &memory, std::span<const std::uint8_t> edited);

// The load is the editor's oldest undo record; undoing it would empty the document, so Undo stops
// there.
bool UndoRevertsAnEdit(const std::string &undoText);
