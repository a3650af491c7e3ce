#include "tools/Dorrinel/resume.h"

#include "common/bytes.h"

namespace dorrinel {

namespace {

// A decimal number of at most 18 digits (no overflow), the whole text.
std::optional<std::uint64_t> Number(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = qv::TrimView(value);
  if (value.size() < 6 || qv::LowerAscii(value.substr(0, 6)) != "bytes ") return std::nullopt;
  value = qv::TrimView(value.substr(6));
  const std::size_t slash = value.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view range = value.substr(0, slash);
  const std::string_view total = value.substr(slash + 1);
  ContentRange r;
  if (total != "*") {
    r.total = Number(total);
    if (!r.total) return std::nullopt;
  }
  if (range == "*") {
    if (!r.total) return std::nullopt;  // "*/*" says nothing
    return r;
  }
  const std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  r.first = Number(range.substr(0, dash));
  r.last = Number(range.substr(dash + 1));
  if (!r.first || !r.last || *r.last < *r.first || (r.total && *r.last >= *r.total)) return std::nullopt;
  return r;
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  std::optional<std::uint64_t> length;
  while (true) {
    const std::size_t comma = value.find(',');
    const std::optional<std::uint64_t> n = Number(qv::TrimView(value.substr(0, comma)));
    if (!n || (length && *n != *length)) return std::nullopt;
    length = n;
    if (comma == std::string_view::npos) return length;
    value = value.substr(comma + 1);
  }
}

bool ChangedOnServer(std::string_view sent, std::string_view now, bool acceptsRanges) {
  if (sent.empty()) return false;  // nothing was asked about the file's version
  if (!now.empty()) return now != sent;
  return acceptsRanges;  // it takes ranges, so it left this one out because of the If-Range
}

ResumeAction DecideResume(std::uint64_t have, int status, std::optional<std::string_view> contentRange) {
  std::optional<ContentRange> range;
  if (contentRange) range = ParseContentRange(*contentRange);
  if (status == 206) {
    if (have == 0) return ResumeAction::kFail;  // nothing partial was asked for
    return (range && range->first == have) ? ResumeAction::kAppend : ResumeAction::kRetryWhole;
  }
  if (status == 416 && have > 0) {
    return (range && !range->first && range->total == have) ? ResumeAction::kComplete : ResumeAction::kRetryWhole;
  }
  if (status >= 200 && status < 300 && status != 204) return ResumeAction::kRestart;
  return ResumeAction::kFail;
}

}  // namespace dorrinel
