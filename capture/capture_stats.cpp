#include "capture/capture_stats.h"

#include <charconv>

namespace qv {
namespace {

// What a 32-bit counter grew by since `before`, across one wrap.
std::uint64_t Growth(u_int before, u_int now) { return static_cast<std::uint32_t>(now - before); }

}  // namespace

void CaptureCounter::Update(const pcap_stat& reading) {
  totals_.received += Growth(last_.ps_recv, reading.ps_recv);
  totals_.droppedByKernel += Growth(last_.ps_drop, reading.ps_drop);
  totals_.droppedByInterface += Growth(last_.ps_ifdrop, reading.ps_ifdrop);
  last_ = reading;
}

std::string DescribeCaptureStats(const CaptureStats& stats) {
  return std::to_string(stats.received) + " frames received, " + std::to_string(stats.droppedByKernel) +
         " dropped by the kernel, " + std::to_string(stats.droppedByInterface) + " by the interface";
}

std::optional<CaptureStats> ParseCaptureStats(std::string_view line) {
  CaptureStats stats;
  const char* p = line.data();
  const char* const end = line.data() + line.size();
  auto number = [&](std::uint64_t& out) {
    const auto [next, ec] = std::from_chars(p, end, out);
    if (ec != std::errc() || next == p) return false;
    p = next;
    return true;
  };
  auto word = [&](std::string_view text) {
    if (static_cast<std::size_t>(end - p) < text.size() || std::string_view(p, text.size()) != text) return false;
    p += text.size();
    return true;
  };
  if (number(stats.received) && word(" frames received, ") && number(stats.droppedByKernel) &&
      word(" dropped by the kernel, ") && number(stats.droppedByInterface) && word(" by the interface") && p == end)
    return stats;
  return std::nullopt;
}

}  // namespace qv
