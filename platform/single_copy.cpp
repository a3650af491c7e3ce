#include "platform/single_copy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qv {

namespace {

constexpr const char* kLockName = "hkOneCopy.lock";

std::string FallbackFolder() { return "/tmp/quelvar-" + std::to_string(static_cast<unsigned long>(getuid())); }

// The folder that holds the lock file must be ours and not reachable by others, or another user
// could hold the lock for us.
bool PrepareFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 0022) == 0;
}

}  // namespace

std::string SingleCopyLockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = (runtime != nullptr && *runtime != '\0') ? std::string(runtime) : FallbackFolder();
  return folder + "/" + kLockName;
}

SingleCopy::~SingleCopy() {
  if (fd_ >= 0) close(fd_);
}

SingleCopy::Result SingleCopy::Acquire(const std::string& lockPath) {
  if (fd_ >= 0) return Result::Acquired;
  const std::size_t slash = lockPath.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string folder = lockPath.substr(0, slash);
    if (folder == FallbackFolder() && !PrepareFolder(folder)) return Result::Unavailable;
  }
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Result::Unavailable;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
  }
  fd_ = fd;
  return Result::Acquired;
}

}  // namespace qv
