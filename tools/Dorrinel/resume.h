// Whether the answer to a download request continues the partial file, replaces it, or ends the
// download, without Qt.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace dorrinel {

// "bytes <first>-<last>/<total>" (total "*" when unknown) or "bytes */<total>" (a range that could not
// be served: first and last are then absent).
struct ContentRange {
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> last;
  std::optional<std::uint64_t> total;
  bool operator==(const ContentRange&) const = default;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

enum class ResumeAction {
  kAppend,    // 206 for exactly the bytes after the partial file: write on at its end
  kRestart,   // the whole file comes (200): write it from the start
  kRetryWhole,// the partial answer does not fit the partial file: ask again without a range
  kComplete,  // 416 and the partial file already holds the whole length
  kFail,      // an error answer, or a partial answer that was not asked for
};

// `have`: bytes in the partial file, for which "Range: bytes=<have>-" was sent (0: no range was sent).
ResumeAction DecideResume(std::uint64_t have, int status, std::optional<std::string_view> contentRange);

}  // namespace dorrinel
