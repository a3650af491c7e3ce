// The single-copy rule: one running copy of the program per user. A copy holds an advisory lock
// (flock) on a file in the user's runtime folder for as long as it lives; the kernel drops the lock
// when the process ends, however it ends, so a copy that died never keeps a later one out.
#pragma once
#include <string>

namespace qv {

// The lock file "hkOneCopy.lock" in $XDG_RUNTIME_DIR, or in /tmp/quelvar-<uid> when that variable is
// unset or empty. The folder is not created here.
std::string SingleCopyLockPath();

class SingleCopy {
 public:
  enum class Result {
    Acquired,      // this process is the running copy now
    HeldElsewhere, // another process holds the lock: end silently
    Unavailable,   // the lock file could not be used; the rule cannot be applied
  };

  SingleCopy() = default;
  ~SingleCopy();  // closes the file, which releases the lock
  SingleCopy(const SingleCopy&) = delete;
  SingleCopy& operator=(const SingleCopy&) = delete;

  // Creates the folder if needed (mode 0700, only when it is the /tmp fallback), opens the lock file
  // (no symbolic links, close-on-exec, so that programs this one starts do not inherit the lock) and
  // tries to lock it without waiting.
  Result Acquire(const std::string& lockPath = SingleCopyLockPath());
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qv
