// The frame counts of a live capture as the capture library keeps them: frames the kernel handed to the
// capture, frames it had to drop because the capture buffer was full, and frames the adapter or its
// driver dropped. The library's counters are 32 bits wide and wrap (after about eight hours at 150,000
// frames a second); a CaptureCounter follows them and keeps the totals in 64 bits.
#pragma once
#include <pcap/pcap.h>  // types only

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct CaptureStats {
  std::uint64_t received = 0;            // handed to the capture, the dropped ones included
  std::uint64_t droppedByKernel = 0;     // no room left in the capture buffer
  std::uint64_t droppedByInterface = 0;  // the adapter or its driver (not every system counts them)

  std::uint64_t Dropped() const { return droppedByKernel + droppedByInterface; }
  bool operator==(const CaptureStats&) const = default;
};

class CaptureCounter {
 public:
  // Takes the library's latest reading; every counter only grows, so a smaller value means it wrapped.
  void Update(const pcap_stat& reading);
  const CaptureStats& Totals() const { return totals_; }

 private:
  pcap_stat last_{};
  CaptureStats totals_;
};

// "N frames received, M dropped by the kernel, K by the interface"
std::string DescribeCaptureStats(const CaptureStats& stats);
// The counts back from such a line (the capture helper reports its counts so); nothing for any other text.
std::optional<CaptureStats> ParseCaptureStats(std::string_view line);

}  // namespace qv
