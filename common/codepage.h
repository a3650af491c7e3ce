// GBK <-> UTF-8 conversion through iconv.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// GBK bytes to UTF-8. Bytes that are not valid GBK become U+FFFD, one per byte, so that any payload
// can be shown.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 to GBK. A character that GBK lacks becomes "?"; the result holds at most `maxChars`
// characters. Returns nothing when the input is not valid UTF-8.
inline constexpr std::size_t kMaxConvertedChars = 2047;
std::optional<std::string> Utf8ToGbk(std::string_view utf8, std::size_t maxChars = kMaxConvertedChars);

}  // namespace qv
