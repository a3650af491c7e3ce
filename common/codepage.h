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

// True when the bytes are valid UTF-8 and hold at least one multi-byte sequence: text that is UTF-8
// rather than GBK or plain ASCII. (GBK text of two or more characters is almost never valid UTF-8.)
// The window shows such an address as UTF-8; address decoding converts such bytes to GBK.
bool IsUtf8WithMultibyte(std::string_view bytes);

// An address as the window shows it, in UTF-8: bytes that are UTF-8 (see above) as they are, any other
// bytes converted from GBK. This is the text handed to the clipboard and to other programs.
std::string AddressToUtf8(std::string_view bytes);

// UTF-8 to GBK. A character that GBK lacks becomes "?"; the result holds at most `maxChars`
// characters. Returns nothing when the input is not valid UTF-8.
inline constexpr std::size_t kMaxConvertedChars = 2047;
std::optional<std::string> Utf8ToGbk(std::string_view utf8, std::size_t maxChars = kMaxConvertedChars);

}  // namespace qv
