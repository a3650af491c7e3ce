// One direction of a TCP connection put back in order: segments are placed by sequence number (32-bit,
// wrapping), retransmitted and overlapping bytes are taken once, and bytes that arrive ahead of a hole
// wait (bounded) until it is filled. Contiguous bytes are handed on at once and not kept.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace qv::tls {

class TcpReassembly {
 public:
  // Bytes held ahead of a hole, at most.
  static constexpr std::size_t kMaxPendingBytes = 256 * 1024;

  // The stream starts at sequence number `seq` (the first byte after the SYN, or a ClientHello's first).
  void Start(std::uint32_t seq) {
    next_ = seq;
    started_ = true;
    pending_.clear();
    pendingBytes_ = 0;
  }
  bool Started() const { return started_; }
  std::size_t PendingBytes() const { return pendingBytes_; }
  // The total of bytes given out in order so far.
  std::uint64_t Delivered() const { return delivered_; }
  // True when a hole overflowed the bound and bytes were dropped: the stream has a gap.
  bool Gap() const { return gap_; }

  // A segment's payload; `deliver(p, n)` gets the bytes that are now in order, in order.
  template <class Deliver>
  void Segment(std::uint32_t seq, const std::uint8_t* p, std::size_t n, Deliver&& deliver) {
    if (!started_ || n == 0) return;
    // Distance from the next expected byte, read as signed: wrap-around is handled by the subtraction.
    const auto d = static_cast<std::int32_t>(seq - next_);
    if (d <= 0) {
      const std::size_t skip = static_cast<std::size_t>(-static_cast<std::int64_t>(d));
      if (skip >= n) return;  // retransmitted: every byte already given out
      Emit(p + skip, n - skip, deliver);
      Drain(deliver);
      return;
    }
    // Ahead of a hole: keep it, keyed by its distance from the start of the hole.
    const auto offset = static_cast<std::uint32_t>(d);
    if (pendingBytes_ + n > kMaxPendingBytes) {
      // The hole is not going to be filled within the bound: give up on it, go on from the earliest
      // held bytes.
      gap_ = true;
      if (pending_.empty()) {
        next_ = seq;
        Emit(p, n, deliver);
        return;
      }
      next_ += pending_.begin()->first;
      Rebase(pending_.begin()->first);
      Drain(deliver);
      Segment(seq, p, n, deliver);
      return;
    }
    auto [it, inserted] = pending_.try_emplace(offset);
    if (!inserted && it->second.size() >= n) return;
    pendingBytes_ += n - it->second.size();
    it->second.assign(reinterpret_cast<const char*>(p), n);
  }

 private:
  template <class Deliver>
  void Emit(const std::uint8_t* p, std::size_t n, Deliver& deliver) {
    const std::uint32_t moved = static_cast<std::uint32_t>(n);
    next_ += moved;
    delivered_ += n;
    if (!pending_.empty()) Rebase(moved);
    deliver(p, n);
  }
  // Held segments are keyed by distance from next_; when next_ moves by `by`, their keys move too.
  void Rebase(std::uint32_t by) {
    std::map<std::uint32_t, std::string> moved;
    for (auto& [off, bytes] : pending_) {
      if (off >= by) {
        moved.emplace(off - by, std::move(bytes));
      } else if (off + bytes.size() > by) {
        moved.emplace(0, bytes.substr(by - off));  // an overlap with what was given out
        pendingBytes_ -= by - off;
      } else {
        pendingBytes_ -= bytes.size();
      }
    }
    // Overlapping keys at 0 keep the longest.
    pending_ = std::move(moved);
  }
  template <class Deliver>
  void Drain(Deliver& deliver) {
    while (!pending_.empty() && pending_.begin()->first == 0) {
      std::string bytes = std::move(pending_.begin()->second);
      pending_.erase(pending_.begin());
      pendingBytes_ -= bytes.size();
      Emit(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), deliver);
    }
  }

  std::uint32_t next_ = 0;
  bool started_ = false;
  bool gap_ = false;
  std::uint64_t delivered_ = 0;
  std::map<std::uint32_t, std::string> pending_;  // distance from next_ -> bytes
  std::size_t pendingBytes_ = 0;
};

}  // namespace qv::tls
