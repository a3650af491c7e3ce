#include "capture/capture_stats.h"

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

}  // namespace qv
