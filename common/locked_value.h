// A value that one thread replaces whole and others read whole.
#pragma once
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

}  // namespace qv
