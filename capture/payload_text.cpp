#include "capture/payload_text.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "capture/payload_text_avx2.h"
#include "common/cpu_features.h"
#include "common/texts.h"

namespace qv {
namespace {

static_assert(texts::kNulMarker == "\xA5\xFE", "the AVX2 kernel writes the marker itself");

inline char* PutByte(char* o, std::uint8_t c) {
  if (c != 0) {
    *o++ = static_cast<char>(c);
  } else {
    *o++ = texts::kNulMarker[0];
    *o++ = texts::kNulMarker[1];
  }
  return o;
}

}  // namespace

std::size_t WritePayloadText(char* out, const std::uint8_t* p, std::size_t n) {
  char* o = out;
  std::size_t i = 0;
#if defined(QUELVAR_AVX2_KERNELS)
  if (CpuHasAvx2()) o += avx2::WritePayloadText(out, p, n, i);
#endif
  return static_cast<std::size_t>(o - out) + WritePayloadTextBaseline(o, p + i, n - i);
}

std::size_t WritePayloadTextBaseline(char* out, const std::uint8_t* p, std::size_t n) {
  char* o = out;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Blocks of 16 bytes are copied with one store; in a block that holds zero bytes, each run up to
  // a zero byte is copied with one store too, and the next store overwrites what lies past the run.
  // The stores reach at most 16 bytes beyond the text; loads stay inside p[0, n).
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)));
    if (zeros == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), b);
      o += 16;
      continue;
    }
    std::size_t start = 0;
    for (;; zeros &= zeros - 1) {
      const std::size_t stop = zeros ? static_cast<std::size_t>(__builtin_ctz(zeros)) : 16;
      const std::size_t run = stop - start;
      if (i + start + 16 <= n)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + start)));
      else
        std::memcpy(o, p + i + start, run);
      o += run;
      if (!zeros) break;
      *o++ = texts::kNulMarker[0];
      *o++ = texts::kNulMarker[1];
      start = stop + 1;
    }
  }
#endif
  for (; i < n; ++i) o = PutByte(o, p[i]);
  return static_cast<std::size_t>(o - out);
}

void AppendPayloadText(std::string& out, const std::uint8_t* p, std::size_t n) {
  // The text's own length plus the slack, not twice the payload: a string keeps its capacity when it
  // shrinks, and texts that are kept would hold twice their size.
  std::size_t zeros = 0;
  for (std::size_t i = 0; i < n; ++zeros) {
    const void* z = std::memchr(p + i, 0, n - i);
    if (!z) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - p) + 1;
  }
  const std::size_t old = out.size();
  out.resize(old + n + zeros + kPayloadTextSlack);
  out.resize(old + WritePayloadText(out.data() + old, p, n));
}

std::string_view PayloadTextBuffer::Assign(const std::uint8_t* p, std::size_t n) {
  if (2 * n + kPayloadTextSlack > capacity_) {
    capacity_ = std::max<std::size_t>(2 * n + kPayloadTextSlack, 2 * capacity_);
    data_ = std::make_unique_for_overwrite<char[]>(capacity_);
  }
  size_ = WritePayloadText(data_.get(), p, n);
  return View();
}

}  // namespace qv
