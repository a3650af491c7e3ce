// Address decoding: percent-escapes, or raw UTF-8, into readable GBK text.
#pragma once
#include <string>
#include <string_view>

namespace qv {

// Percent-decodes s byte by byte.
std::string En2Cn(std::string_view s);

// What the "地址汉化" command makes of an address: En2Cn when it holds "%" (and the decoded bytes, when
// they are valid UTF-8 with a multi-byte sequence, converted from UTF-8 to GBK), otherwise the address
// read as UTF-8 and converted to GBK (unchanged when it is not valid UTF-8).
std::string DecodeAddress(std::string_view address);

}  // namespace qv
