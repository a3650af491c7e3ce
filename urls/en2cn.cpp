#include "urls/en2cn.h"

#include "common/bytes.h"
#include "common/codepage.h"

namespace qv {
namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Value of a lower-case hexadecimal digit.
int HexValue(char c) { return c <= '9' ? c - '0' : c - 87; }

}  // namespace

std::string En2Cn(std::string_view s) {
  std::size_t i = s.find('%');
  if (i == npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  out.append(s.substr(0, i));
  while (true) {
    // A "%" with fewer than two bytes after it is copied with the rest as it is.
    if (i + 2 >= s.size()) {
      out.append(s.substr(i));
      break;
    }
    const char hi = LowerByte(s[i + 1]);
    const char lo = LowerByte(s[i + 2]);
    if (IsHexDigit(hi) && IsHexDigit(lo)) {
      out.push_back(static_cast<char>(HexValue(hi) * 16 + HexValue(lo)));
    } else {
      out.push_back('%');
      out.push_back(hi);
      out.push_back(lo);
    }
    // The bytes up to the next "%" are copied unchanged; a decoded "%" never opens a new escape.
    const std::size_t next = s.find('%', i + 3);
    if (next == npos) {
      out.append(s.substr(i + 3));
      break;
    }
    out.append(s.substr(i + 3, next - (i + 3)));
    i = next;
  }
  return out;
}

std::string DecodeAddress(std::string_view address) {
  if (address.find('%') != npos) {
    // Escapes of UTF-8 (the usual form today) give UTF-8 bytes, which are converted like raw UTF-8;
    // escapes of GBK (%C4%E3%BA%C3) are not valid UTF-8 and stay as decoded.
    std::string decoded = En2Cn(address);
    if (IsUtf8WithMultibyte(decoded)) {
      if (auto gbk = Utf8ToGbk(decoded)) return std::move(*gbk);
    }
    return decoded;
  }
  if (auto gbk = Utf8ToGbk(address)) return std::move(*gbk);
  return std::string(address);
}

}  // namespace qv
