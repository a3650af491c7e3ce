// Byte-string helpers. Texts are GBK bytes held in std::string; positions are 0-based byte offsets and
// "not found" is std::string_view::npos.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::size_t npos = std::string_view::npos;

// Lower-cases the ASCII letters A-Z only; every other byte stays as it is.
std::string LowerAscii(std::string_view s);
inline char LowerByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Removes the bytes 0x00-0x20 at both ends.
std::string_view TrimView(std::string_view s);
inline std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

// True when byte b opens a GBK double-byte character (its next byte is the trail byte).
inline bool IsGbkLead(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

// The value of a hexadecimal digit (either case), or -1.
int HexValue(char c);
// "%" followed by two hexadecimal digits gives that byte; any other "%" stays as it is.
std::string PercentDecode(std::string_view s);

// Equality ignoring the case of ASCII letters that are not the trail byte of a GBK double-byte
// character: how the settings file and the registry compare their names.
bool GbkSameName(std::string_view a, std::string_view b);

// First occurrence of needle at or after `from` that does not begin on the trail byte of a GBK
// double-byte character. Character boundaries are counted from the start of `hay`.
std::size_t GbkFind(std::string_view hay, std::string_view needle, std::size_t from = 0);
// Last such occurrence.
std::size_t GbkRFind(std::string_view hay, std::string_view needle);

// Case-insensitive (ASCII letters only) search for an already lower-case needle.
std::size_t FindLowered(std::string_view hay, std::string_view lowerNeedle, std::size_t from = 0);

// The same result as hay.find(needle, from), faster on long texts where the needle's first byte is
// common: sixteen positions are tested at a time against the needle's first two bytes.
std::size_t FindFast(std::string_view hay, std::string_view needle, std::size_t from = 0);

}  // namespace qv
