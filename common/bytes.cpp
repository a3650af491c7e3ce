#include "common/bytes.h"

#include <cstring>

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

}  // namespace qv
