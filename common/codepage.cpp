#include "common/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
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

// What iconv makes of one GBK character, remembered: decoding a long text then costs a table look-up
// per character instead of a call into iconv per character (binary payloads, which are mostly
// invalid GBK, would otherwise stop iconv at nearly every byte). An entry is filled from iconv the
// first time it is needed, so every answer is iconv's own.
class GbkDecoder {
 public:
  // The UTF-8 of the two bytes lead, trail as one character (lead >= 0x80); empty: not one.
  std::string_view Pair(unsigned char lead, unsigned char trail) {
    return Look(pairs_[lead - 0x80][trail], pairBytes_[lead - 0x80][trail], lead, trail, 2);
  }
  // The byte b (>= 0x80) alone as one character.
  std::string_view Single(unsigned char b) { return Look(singles_[b - 0x80], singleBytes_[b - 0x80], b, 0, 1); }

 private:
  // state: 0 not yet asked, 1 not a character, 2 + n a character of n UTF-8 bytes. The bytes are
  // written before the state is published and never change afterwards.
  std::string_view Look(std::atomic<unsigned char>& state, char (&bytes)[4], unsigned char b0, unsigned char b1,
                        int count) {
    unsigned char st = state.load(std::memory_order_acquire);
    if (st == 0) {
      const std::lock_guard<std::mutex> lock(fill_);
      st = state.load(std::memory_order_relaxed);
      if (st == 0) {
        st = Ask(bytes, b0, b1, count);
        state.store(st, std::memory_order_release);
      }
    }
    return std::string_view(bytes, st >= 2 ? st - 2u : 0u);
  }

  // Converts the `count` bytes alone; a character only when iconv takes all of them as one.
  unsigned char Ask(char (&bytes)[4], unsigned char b0, unsigned char b1, int count) {
    if (!cd_) cd_ = std::make_unique<Iconv>("UTF-8", "GBK");
    cd_->Reset();
    const char in[2] = {static_cast<char>(b0), static_cast<char>(b1)};
    const char* p = in;
    std::size_t left = static_cast<std::size_t>(count);
    std::string out;
    if (cd_->Convert(&p, &left, out) != 0 || left != 0 || out.empty() || out.size() > 4) return 1;
    if (Utf8SequenceLength(out, 0) != out.size()) return 1;  // more than one character
    for (std::size_t k = 0; k < out.size(); ++k) bytes[k] = out[k];
    return static_cast<unsigned char>(2 + out.size());
  }

  std::mutex fill_;
  std::unique_ptr<Iconv> cd_;  // used under fill_ only
  std::atomic<unsigned char> pairs_[128][256] = {};
  char pairBytes_[128][256][4] = {};
  std::atomic<unsigned char> singles_[128] = {};
  char singleBytes_[128][4] = {};
};

GbkDecoder& Decoder() {
  static GbkDecoder* decoder = new GbkDecoder;  // never destroyed: usable until the very end
  return *decoder;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  const auto* s = reinterpret_cast<const unsigned char*>(gbk.data());
  const std::size_t n = gbk.size();
  std::size_t i = 0;
  while (i < n && s[i] < 0x80) ++i;
  if (i == n) return std::string(gbk);  // plain ASCII, the common case for addresses and captions
  // Every input byte gives at most three output bytes (a replacement character).
  std::string out(3 * n, '\0');
  std::memcpy(out.data(), gbk.data(), i);
  char* o = out.data() + i;
  GbkDecoder& decoder = Decoder();
  while (i < n) {
    if (s[i] < 0x80) {
      *o++ = static_cast<char>(s[i++]);
      continue;
    }
    std::string_view c;
    if (i + 1 < n) c = decoder.Pair(s[i], s[i + 1]);
    if (!c.empty()) {
      i += 2;
    } else {
      c = decoder.Single(s[i]);
      i += 1;
    }
    if (c.empty()) c = "\xEF\xBF\xBD";  // an invalid or incomplete sequence: one replacement per byte
    for (char b : c) *o++ = b;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

bool IsUtf8WithMultibyte(std::string_view bytes) {
  bool multibyte = false;
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) return false;
    multibyte = true;
    i += n;
  }
  return multibyte;
}

std::string AddressToUtf8(std::string_view bytes) {
  if (IsUtf8WithMultibyte(bytes)) return std::string(bytes);
  return GbkToUtf8(bytes);
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
