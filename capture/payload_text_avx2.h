// The AVX2 kernel of the payload text conversion (WritePayloadText). Plain types only: the file that
// builds it for AVX2 includes nothing else.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qv::avx2 {

// Converts whole blocks of 32 bytes from the start of p[0, n) as WritePayloadText does, writing at
// most 32 bytes past the text; sets `consumed` to the bytes converted and returns the text length.
std::size_t WritePayloadText(char* out, const std::uint8_t* p, std::size_t n, std::size_t& consumed);

}  // namespace qv::avx2
