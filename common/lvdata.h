// The hidden record behind every row of the address lists, and the direction of a packet.
#pragma once
#include <cstdint>
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

// A row's record kept in the session's spill file (SpillStore) instead of memory: the remote text,
// then at once the payload text. A packet row's address cell is its payload text, so the cell can
// stay there too.
struct SpilledRecord {
  std::uint64_t offset = 0;      // where the remote text starts
  std::uint32_t packetSize = 0;  // bytes of the payload text that follows it
  std::uint16_t remoteSize = 0;
  bool present = false;          // the record is in the spill file
  bool addressSpilled = false;   // the address cell is the spilled payload text (the cell itself is empty)
};

enum class Direction : unsigned char { Inbound, Outbound };

inline std::string_view DirectionLabel(Direction d) {
  return d == Direction::Outbound ? texts::kOutbound : texts::kInbound;
}

}  // namespace qv
