// The AVX2 kernel of the payload marker search (FindMarks). Plain types only: the file that builds it
// for AVX2 includes nothing else.
#pragma once
#include <cstddef>

namespace qv::avx2 {

// Tests the starts 0, 32, 64, ... in blocks of 32 while a block and the three bytes after it lie
// inside [s, s + n), updating the first positions found so far (SIZE_MAX: none yet; `post` only
// while `get` is none). Returns the first start not tested.
std::size_t FindMarks(const char* s, std::size_t n, std::size_t& get, std::size_t& post, std::size_t& separator);

}  // namespace qv::avx2
