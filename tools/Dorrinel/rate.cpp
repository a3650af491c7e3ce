#include "tools/Dorrinel/rate.h"

#include <cmath>

namespace dorrinel {

void RateMeter::Reset(std::int64_t ms, std::uint64_t bytes) {
  samples_.clear();
  samples_.emplace_back(ms, bytes);
}

void RateMeter::Sample(std::int64_t ms, std::uint64_t bytes) {
  if (!samples_.empty() && ms < samples_.back().first) return;  // never back in time
  samples_.emplace_back(ms, bytes);
  // Keep one sample at or before the oldest moment still asked about.
  while (samples_.size() > 2 && samples_[1].first <= ms - keepMs_) samples_.pop_front();
}

double RateMeter::Speed(std::int64_t windowMs) const {
  if (samples_.size() < 2) return 0;
  const auto& now = samples_.back();
  auto from = samples_.front();
  for (const auto& s : samples_) {
    if (s.first > now.first - windowMs) break;
    from = s;
  }
  const std::int64_t ms = now.first - from.first;
  if (ms <= 0) return 0;
  return static_cast<double>(now.second - from.second) * 1000.0 / static_cast<double>(ms);
}

bool RateMeter::TooSlow(std::uint64_t bytesPerSecond, std::int64_t periodMs) const {
  if (samples_.empty() || periodMs <= 0) return false;
  const auto& now = samples_.back();
  // The newest sample at or before the period's start; none yet: too early to judge.
  const std::pair<std::int64_t, std::uint64_t>* from = nullptr;
  for (const auto& s : samples_) {
    if (s.first > now.first - periodMs) break;
    from = &s;
  }
  if (from == nullptr) return false;
  const double wanted = static_cast<double>(bytesPerSecond) * static_cast<double>(periodMs) / 1000.0;
  return static_cast<double>(now.second - from->second) < wanted;
}

std::optional<std::uint64_t> RemainingSeconds(std::uint64_t have, std::optional<std::uint64_t> total,
                                              double bytesPerSecond) {
  if (!total || *total < have || bytesPerSecond < 1) return std::nullopt;
  return static_cast<std::uint64_t>(std::ceil(static_cast<double>(*total - have) / bytesPerSecond));
}

}  // namespace dorrinel
