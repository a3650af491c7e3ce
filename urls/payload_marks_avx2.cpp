// Built with -mavx2 and called only on processors that have it. Nothing here may come from a header
// shared with the rest of the program (an inline function compiled here for AVX2 could be picked by
// the linker for every caller), so only the intrinsics are included.
#include "urls/payload_marks_avx2.h"

#include <immintrin.h>

namespace qv::avx2 {

std::size_t FindMarks(const char* s, std::size_t n, std::size_t& get, std::size_t& post, std::size_t& separator) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const __m256i E = _mm256_set1_epi8('E'), T = _mm256_set1_epi8('T'), SP = _mm256_set1_epi8(' '),
                O = _mm256_set1_epi8('O'), S = _mm256_set1_epi8('S'), COLON = _mm256_set1_epi8(':'),
                SLASH = _mm256_set1_epi8('/');
  auto load = [s](std::size_t at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + at)); };
  auto mask = [](__m256i v) { return static_cast<unsigned>(_mm256_movemask_epi8(v)); };
  std::size_t i = 0;
  for (; i + 35 <= n; i += 32) {
    // Every marker begins with one of the pairs "ET", "OS" and ":/". Blocks without one (nearly every
    // block of binary data, most of text) are passed over by one well-predicted branch; testing a
    // single byte first would let through about a third of binary blocks, each a likely misprediction.
    const __m256i a = load(i), b = load(i + 1);
    const __m256i et = _mm256_and_si256(_mm256_cmpeq_epi8(a, E), _mm256_cmpeq_epi8(b, T));
    const __m256i os = _mm256_and_si256(_mm256_cmpeq_epi8(a, O), _mm256_cmpeq_epi8(b, S));
    const __m256i cs = _mm256_and_si256(_mm256_cmpeq_epi8(a, COLON), _mm256_cmpeq_epi8(b, SLASH));
    if (!mask(_mm256_or_si256(_mm256_or_si256(et, os), cs))) continue;
    const __m256i c = load(i + 2);
    const unsigned g = mask(_mm256_and_si256(et, _mm256_cmpeq_epi8(c, SP)));
    const unsigned sep = mask(_mm256_and_si256(cs, _mm256_cmpeq_epi8(c, SLASH)));
    if (g && get == kNone) get = i + static_cast<std::size_t>(__builtin_ctz(g));
    if (sep && separator == kNone) separator = i + static_cast<std::size_t>(__builtin_ctz(sep));
    if (post == kNone && get == kNone) {
      const unsigned p =
          mask(_mm256_and_si256(os, _mm256_and_si256(_mm256_cmpeq_epi8(c, T), _mm256_cmpeq_epi8(load(i + 3), SP))));
      if (p) post = i + static_cast<std::size_t>(__builtin_ctz(p));
    }
    if (get != kNone && separator != kNone) return i + 32;
  }
  return i;
}

}  // namespace qv::avx2
