// The packet inspector's text: the hex dump and the display that ShowDatas builds.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Hex dump of a payload text; the NUL marker dumps as one byte of value 0.
std::string StoHex(std::string_view payloadText);

struct InspectorText {
  std::string text;             // GBK, lines ending CR LF
  std::size_t selectionStart = 0;   // byte offset of the highlighted address
  std::size_t selectionLength = 0;  // 0: nothing highlighted
};

// The display of the packet inspector: four header lines, then the payload text with `address`
// highlighted, or its hex dump.
InspectorText ShowDatas(std::string_view localAddress, std::string_view remote, std::string_view packet,
                        std::string_view address, bool hex);

}  // namespace qv
