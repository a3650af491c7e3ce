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

// The body length an answer's Content-Length declares. Repeated headers arrive joined with ", " (as
// Qt joins them): every value must be the same. Nothing when a value is not a plain decimal number
// ("-5", "+5", "5 bytes") or is too large (more than 18 digits): such an answer cannot be trusted to
// say where the file ends.
std::optional<std::uint64_t> ParseContentLength(std::string_view value);

enum class ResumeAction {
  kAppend,    // 206 for exactly the bytes after the partial file: write on at its end
  kRestart,   // the whole file comes (200): write it from the start
  kRetryWhole,// the partial answer does not fit the partial file: ask again without a range
  kComplete,  // 416 and the partial file already holds the whole length
  kFail,      // an error answer, or a partial answer that was not asked for
};

// `have`: bytes in the partial file, for which "Range: bytes=<have>-" was sent (0: no range was sent).
ResumeAction DecideResume(std::uint64_t have, int status, std::optional<std::string_view> contentRange);

// A continued download was answered with the whole file (200). `sent`: the validator sent as If-Range
// (empty: none was sent); `now`: the answer's own (ETag, else Last-Modified; may be empty);
// `acceptsRanges`: the answer says "Accept-Ranges: bytes". True when the file on the server has
// changed since the partial file was written (the If-Range did not match), false when the server
// merely ignores ranges.
bool ChangedOnServer(std::string_view sent, std::string_view now, bool acceptsRanges);

}  // namespace dorrinel
