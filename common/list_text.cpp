#include "common/list_text.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/codepage.h"

namespace qv {

TextNeedle::TextNeedle(std::optional<std::string> gbk, std::string utf8) : utf8_(LowerAscii(utf8)) {
  if (!gbk) return;
  gbkValid_ = true;
  gbk_.reserve(gbk->size());
  for (std::size_t i = 0; i < gbk->size(); ++i) {
    const auto b = static_cast<unsigned char>((*gbk)[i]);
    if (IsGbkLead(b) && i + 1 < gbk->size()) {
      gbk_ += (*gbk)[i];
      gbk_ += (*gbk)[i + 1];
      gbkFold_.push_back(false);
      gbkFold_.push_back(false);
      ++i;
    } else {
      gbk_ += LowerByte((*gbk)[i]);
      gbkFold_.push_back(true);
    }
  }
}

bool TextNeedle::In(std::string_view text) const {
  if (utf8_.empty()) return true;
  if (IsUtf8WithMultibyte(text)) return FindLowered(text, utf8_) != npos;
  return InGbk(text);
}

// Candidates are found by the needle's first byte (memchr, both spellings of a letter); a candidate
// counts only where a character begins. A match that starts on a boundary meets the text's boundaries
// where the needle has its own, so an ASCII byte of the needle always faces a byte that begins a
// character: folding that byte never touches a trail byte.
//
// Whether position p begins a character: the byte after any byte below 0x81 does (such a byte is
// never a lead), and from there on every byte of 0x81 and above pairs with the next. So p begins a
// character when the run of such bytes right before it has even length. The run is counted back
// no further than the last position known to begin a character, which only moves forward: the
// boundary checks cost one pass over the text at most.
bool TextNeedle::InGbk(std::string_view text) const {
  if (!gbkValid_) return false;
  const std::size_t n = gbk_.size();
  if (text.size() < n) return false;
  const char* s = text.data();
  const std::size_t last = text.size() - n;
  const char lower = gbk_[0];
  const char upper = gbkFold_[0] && lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 32) : lower;
  auto next = [&](char c, std::size_t from) -> std::size_t {
    if (from > last) return npos;
    const void* hit = std::memchr(s + from, c, last - from + 1);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - s) : npos;
  };
  std::size_t known = 0;  // begins a character
  auto begins = [&](std::size_t p) {
    std::size_t q = p;
    while (q > known && static_cast<unsigned char>(s[q - 1]) >= 0x81) --q;
    const bool yes = (p - q) % 2 == 0;
    known = yes ? p : p + 1;
    return yes;
  };
  std::size_t nl = next(lower, 0);
  std::size_t nu = upper == lower ? npos : next(upper, 0);
  while (nl != npos || nu != npos) {
    const std::size_t p = nl < nu ? nl : nu;
    if (p >= known && begins(p)) {
      std::size_t k = 1;
      for (; k < n; ++k) {
        const char h = gbkFold_[k] ? LowerByte(s[p + k]) : s[p + k];
        if (h != gbk_[k]) break;
      }
      if (k == n) return true;
    }
    if (p == nl) nl = next(lower, p + 1);
    else nu = next(upper, p + 1);
  }
  return false;
}

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

int CompareListText(std::string_view a, std::string_view b) {
  if (AllDigits(a) && AllDigits(b)) {
    const auto strip = [](std::string_view s) {
      const std::size_t nz = s.find_first_not_of('0');
      return nz == std::string_view::npos ? std::string_view() : s.substr(nz);
    };
    const std::string_view x = strip(a);
    const std::string_view y = strip(b);
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    if (const int c = x.compare(y); c != 0) return Sign(c);
    return Sign(static_cast<int>(a.size()) - static_cast<int>(b.size()));
  }
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(LowerByte(a[i]));
    const auto y = static_cast<unsigned char>(LowerByte(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return Sign(a.compare(b));
}

}  // namespace qv
