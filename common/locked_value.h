// A value that one thread replaces whole and others read whole.
#pragma once
#include <atomic>
#include <mutex>
#include <utility>

namespace qv {

template <typename T>
class LockedValue {
 public:
  LockedValue() = default;
  explicit LockedValue(T v) : value_(std::move(v)) {}
  T Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void Set(T v) {
    std::lock_guard lock(mutex_);
    value_ = std::move(v);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

// A LockedValue whose readers keep a copy and take the lock only after a change: the version counts
// the changes.
template <typename T>
class VersionedValue {
 public:
  VersionedValue() = default;
  explicit VersionedValue(T v) : value_(std::move(v)) {}
  T Get() const { return value_.Get(); }
  void Set(T v) {
    value_.Set(std::move(v));
    version_.fetch_add(1, std::memory_order_release);
  }
  // Brings a reader's copy up to date; `seen` is the version the copy was taken at (start with 0).
  void Refresh(T& copy, unsigned& seen) const {
    const unsigned v = version_.load(std::memory_order_acquire);
    if (v != seen) {
      copy = value_.Get();
      seen = v;
    }
  }

 private:
  LockedValue<T> value_;
  std::atomic<unsigned> version_{1};
};

}  // namespace qv
