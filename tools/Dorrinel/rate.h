// Download speed, remaining time and the low-speed rule, without Qt or clocks: the caller notes the
// bytes received so far once in a while, with a monotonic time in milliseconds.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace dorrinel {

class RateMeter {
 public:
  // Samples older than `keepMs` before the newest are dropped: the longest period asked about.
  explicit RateMeter(std::int64_t keepMs) : keepMs_(keepMs) {}

  // Starts over: `bytes` received by time `ms`.
  void Reset(std::int64_t ms, std::uint64_t bytes);
  // `bytes` (a running total) received by time `ms`.
  void Sample(std::int64_t ms, std::uint64_t bytes);

  // Bytes per second over the last `windowMs`, or since the first sample when that is shorter.
  double Speed(std::int64_t windowMs) const;
  // True once at least `periodMs` have passed and fewer than `bytesPerSecond` per second came in on
  // average over the last `periodMs`: a server that sends a byte now and then cannot keep a download
  // alive for ever.
  bool TooSlow(std::uint64_t bytesPerSecond, std::int64_t periodMs) const;

 private:
  std::int64_t keepMs_;
  std::deque<std::pair<std::int64_t, std::uint64_t>> samples_;
};

// Seconds left at `bytesPerSecond` for the bytes from `have` to `total`; nothing when unknown.
std::optional<std::uint64_t> RemainingSeconds(std::uint64_t have, std::optional<std::uint64_t> total,
                                              double bytesPerSecond);

}  // namespace dorrinel
