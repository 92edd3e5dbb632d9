// File access shared by the readers and writers: loads open the file for reading only, saves
// replace the target only once the new contents are completely on disk, wherever its folder allows.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "buffer/file_result.h"

// Hands the file's contents to `consume` in chunks until the end of the file or until `consume`
// returns false. Ok is false (with Error naming the file) when it cannot be opened or read, or is
// no regular file; the chunks consumed before a read error stay consumed.
TFileResult ReadFileInChunks(const std::string &name,
                             const std::function<bool(std::string_view chunk)> &consume);

// Fails, naming the file, unless first..last lies within the buffer; last < first is an empty range.
TFileResult CheckSaveRange(int first, int last, const std::string &name);

// Writes `content` to a temporary file in the target's folder and renames it over the target, so
// that a failed save leaves an existing file as it was. An existing target keeps its permissions,
// and its owner and group as far as the process may set them; a symbolic link keeps pointing at the
// file it names, which receives the contents. A file the user may not write is refused. Where the
// folder may not be written but the file may, the file is rewritten in place (synced).
TFileResult SaveFileSafely(const std::string &name, std::string_view content);

// The same save for callers with their own message: the reason it failed, empty on success.
std::string ReplaceFileContents(const std::string &name, std::string_view content);
