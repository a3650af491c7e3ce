// Built with -mavx2 and called only on processors that have it. Nothing here may come from a header
// shared with the rest of the program (an inline function compiled here for AVX2 could be picked by
// the linker for every caller), so only the intrinsics are included.
#include "capture/payload_text_avx2.h"

#include <immintrin.h>

namespace qv::avx2 {

std::size_t WritePayloadText(char* out, const std::uint8_t* p, std::size_t n, std::size_t& consumed) {
  char* o = out;
  std::size_t i = 0;
  const __m256i zero = _mm256_setzero_si256();
  for (; i + 32 <= n; i += 32) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    auto zeros = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)));
    if (zeros == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), b);
      o += 32;
      continue;
    }
    // Each run up to a zero byte is copied with one store; the next store overwrites what lies past it.
    std::size_t start = 0;
    for (;; zeros &= zeros - 1) {
      const std::size_t stop = zeros ? static_cast<std::size_t>(__builtin_ctz(zeros)) : 32;
      const std::size_t run = stop - start;
      if (i + start + 32 <= n)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + start)));
      else
        __builtin_memcpy(o, p + i + start, run);
      o += run;
      if (!zeros) break;
      *o++ = '\xA5';  // the NUL marker
      *o++ = '\xFE';
      start = stop + 1;
    }
  }
  consumed = i;
  return static_cast<std::size_t>(o - out);
}

}  // namespace qv::avx2
