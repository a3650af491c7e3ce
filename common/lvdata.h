// The hidden record behind every row of the address lists, and the direction of a packet.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "common/texts.h"

namespace qv {

struct LVDATA {
  std::string Remote;  // remote peer: dotted-quad address, ":", port in decimal
  std::string Packet;  // payload text, every zero byte written as the NUL marker
};

// Rows of both lists share one record; it lives while any row refers to it.
using LVDataPtr = std::shared_ptr<const LVDATA>;

enum class Direction : unsigned char { Inbound, Outbound };

inline std::string_view DirectionLabel(Direction d) {
  return d == Direction::Outbound ? texts::kOutbound : texts::kInbound;
}

}  // namespace qv
