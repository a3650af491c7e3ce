#include "common/bytes.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv {

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerByte(c);
  return out;
}

std::string_view TrimView(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

namespace {

// Walks GBK character boundaries forward; `At(pos)` tells whether pos starts a character. Calls must
// come with non-decreasing positions, so a whole search stays linear.
class GbkBoundaries {
 public:
  explicit GbkBoundaries(std::string_view s) : s_(s) {}
  bool At(std::size_t pos) {
    while (next_ < pos) {
      const auto b = static_cast<unsigned char>(s_[next_]);
      next_ += (IsGbkLead(b) && next_ + 1 < s_.size()) ? 2 : 1;
    }
    return next_ == pos;
  }

 private:
  std::string_view s_;
  std::size_t next_ = 0;
};

}  // namespace

std::size_t GbkFind(std::string_view hay, std::string_view needle, std::size_t from) {
  GbkBoundaries bounds(hay);
  std::size_t pos = hay.find(needle, from);
  while (pos != npos) {
    if (bounds.At(pos)) return pos;
    pos = hay.find(needle, pos + 1);
  }
  return npos;
}

std::size_t GbkRFind(std::string_view hay, std::string_view needle) {
  GbkBoundaries bounds(hay);
  std::size_t last = npos;
  std::size_t pos = hay.find(needle);
  while (pos != npos) {
    if (bounds.At(pos)) last = pos;
    pos = hay.find(needle, pos + 1);
  }
  return last;
}

std::size_t FindLowered(std::string_view hay, std::string_view needle, std::size_t from) {
  if (needle.empty()) return from <= hay.size() ? from : npos;
  if (hay.size() < needle.size() || from > hay.size() - needle.size()) return npos;
  const std::size_t last = hay.size() - needle.size();
  const char lower = needle[0];
  const char upper = (lower >= 'a' && lower <= 'z') ? static_cast<char>(lower - 32) : lower;
  // Next occurrence of each spelling of the first byte, each searched again only once passed.
  auto next = [&](char c, std::size_t at) -> std::size_t {
    const void* p = std::memchr(hay.data() + at, c, last - at + 1);
    return p ? static_cast<std::size_t>(static_cast<const char*>(p) - hay.data()) : npos;
  };
  std::size_t nl = next(lower, from);
  std::size_t nu = upper == lower ? npos : next(upper, from);
  while (nl != npos || nu != npos) {
    const std::size_t cand = nl < nu ? nl : nu;
    std::size_t k = 1;
    while (k < needle.size() && LowerByte(hay[cand + k]) == needle[k]) ++k;
    if (k == needle.size()) return cand;
    if (cand == last) return npos;
    if (cand == nl) nl = next(lower, cand + 1);
    else nu = next(upper, cand + 1);
  }
  return npos;
}

std::size_t FindFast(std::string_view hay, std::string_view needle, std::size_t from) {
#if defined(__SSE2__)
  const std::size_t n = needle.size();
  if (n < 2 || from > hay.size() || hay.size() - from < n) return hay.find(needle, from);
  const char* base = hay.data();
  const std::size_t last = hay.size() - n;  // last position where a match can start
  const __m128i first = _mm_set1_epi8(needle[0]);
  const __m128i second = _mm_set1_epi8(needle[1]);
  std::size_t i = from;
  // Sixteen candidate starts i..i+15 need bytes up to i+16 for the second byte.
  while (i + 16 <= hay.size() - 1 && i <= last) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + 1));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
    while (mask) {
      const std::size_t pos = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (pos > last) return npos;
      if (std::memcmp(base + pos + 2, needle.data() + 2, n - 2) == 0) return pos;
      mask &= mask - 1;
    }
    i += 16;
  }
  if (i > last) return npos;
  return hay.find(needle, i);
#else
  return hay.find(needle, from);
#endif
}

bool GbkSameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  std::size_t i = 0;
  while (i < a.size()) {
    if (IsGbkLead(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
      i += 2;
      continue;
    }
    if (LowerByte(a[i]) != LowerByte(b[i])) return false;
    ++i;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]);
      const int lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

}  // namespace qv
