#include "common/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace qv {
namespace {

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert between GBK and UTF-8");
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  // Converts as much of [*in, *in + *inLeft) as it can, appending to out; returns errno or 0.
  int Convert(const char** in, std::size_t* inLeft, std::string& out) {
    char buf[1024];
    while (*inLeft > 0) {
      char* dst = buf;
      std::size_t dstLeft = sizeof buf;
      const std::size_t r = iconv(cd_, const_cast<char**>(in), inLeft, &dst, &dstLeft);
      out.append(buf, static_cast<std::size_t>(dst - buf));
      if (r == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) continue;
        return errno;
      }
    }
    return 0;
  }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

bool AllAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t n;
  unsigned cp;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) { n = 2; cp = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { n = 3; cp = b0 & 0x0F; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { n = 4; cp = b0 & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  if (AllAscii(gbk)) return std::string(gbk);
  thread_local Iconv cv("UTF-8", "GBK");
  cv.Reset();
  std::string out;
  out.reserve(gbk.size() + gbk.size() / 2);
  const char* in = gbk.data();
  std::size_t left = gbk.size();
  while (left > 0) {
    if (cv.Convert(&in, &left, out) == 0) break;
    // An invalid or incomplete sequence: replace one byte and go on.
    out += "\xEF\xBF\xBD";
    ++in;
    --left;
    cv.Reset();
  }
  return out;
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8, std::size_t maxChars) {
  thread_local Iconv cv("GBK", "UTF-8");
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < utf8.size() && chars < maxChars; ++chars) {
    const std::size_t n = Utf8SequenceLength(utf8, i);
    if (n == 0) return std::nullopt;
    if (n == 1) {
      out += utf8[i];
    } else {
      cv.Reset();
      const char* in = utf8.data() + i;
      std::size_t left = n;
      std::string one;
      if (cv.Convert(&in, &left, one) == 0 && !one.empty()) out += one;
      else out += '?';
    }
    i += n;
  }
  return out;
}

}  // namespace qv
