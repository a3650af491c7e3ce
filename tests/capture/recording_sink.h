// What the frame handler found, kept for the tests to read, and a helper that hands the handler one
// built frame whole.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "capture/frame_handler.h"

namespace qv::test {

class RecordingSink : public FrameSink {
 public:
  void UrlFound(UrlInsertion&& i) override { urls.push_back(std::move(i)); }
  void PacketFound(PacketRowData&& r) override { packets.push_back(std::move(r)); }
  std::vector<UrlInsertion> urls;
  std::vector<PacketRowData> packets;
};

inline void FeedWhole(FrameHandler& handler, const std::vector<std::uint8_t>& frame) {
  const auto size = static_cast<std::uint32_t>(frame.size());
  handler.ProcessPacket(frame.data(), size, size);
}

}  // namespace qv::test
