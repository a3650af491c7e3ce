// Replacing a file whole without ever leaving it half-written.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>

namespace qv {

enum class ReadResult { kOk, kMissing, kFailed };

// Reads the whole file into `out`; kMissing when it does not exist, kFailed when it cannot be read
// (an empty path included).
ReadResult ReadWholeFile(const std::string& path, std::string& out);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);

// Replaces the file at `path` by `content` through a temporary file beside it, flushed to disk before
// it is renamed over the old one. A symbolic link is written through to its target, and an existing
// file keeps its permissions; a new one is created with `createMode` (the umask applies). False when
// anything fails: the old file is then untouched and no temporary file is left.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, mode_t createMode = 0666);

}  // namespace qv
