// Text files: read whole, split into lines, and replaced whole without ever being left half-written.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class ReadResult { kOk, kMissing, kFailed };

// Reads the whole file into `out`; kMissing when it does not exist, kFailed when it cannot be read
// (an empty path included), is not a regular file or is larger than kMaxTextFileBytes.
inline constexpr std::size_t kMaxTextFileBytes = std::size_t{16} << 20;
ReadResult ReadWholeFile(const std::string& path, std::string& out);

// Reads a regular file of at most `maxBytes` bytes. Never blocks: a FIFO, a device or a directory is
// refused before anything is read. On kMissing and kFailed `why` (when given) says what is wrong, in
// a few words ("no such file", "not a regular file", "larger than 1048576 bytes", "Permission denied").
ReadResult ReadRegularFile(const std::string& path, std::string& out, std::size_t maxBytes,
                           std::string* why = nullptr);

// A line of a text file: its bytes, and where its text ends before CR LF or LF.
struct Line {
  std::size_t begin = 0;       // first byte of the line
  std::size_t contentEnd = 0;  // end of the text, before CR LF / LF
  std::size_t end = 0;         // after the line end
};

// The lines of a text; a last line without a line end counts too.
std::vector<Line> SplitLines(std::string_view text);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);

// Replaces the file at `path` by `content` through a temporary file beside it, flushed to disk before
// it is renamed over the old one. A symbolic link is written through to its target (the link stays)
// only when that target is a regular file owned by this user; any other link is refused. An existing
// file keeps its owner, group and permissions (false when they cannot be kept); a new one is created
// with `createMode` (the umask applies). False when anything fails: the old file is then untouched and
// no temporary file is left.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, mode_t createMode = 0666);

}  // namespace qv
