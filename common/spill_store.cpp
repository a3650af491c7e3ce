#include "common/spill_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace qv {
namespace {

bool MakeDirs(const std::string& dir) {
  std::string part;
  for (std::size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || (dir[i] == '/' && i > 0)) {
      part = dir.substr(0, i);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ErrorText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace

std::string SpillStore::DefaultDir() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') return std::string(cache) + "/quelvar";
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::string(home) + "/.cache/quelvar";
  if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') return tmp;
  return "/tmp";
}

std::unique_ptr<SpillStore> SpillStore::Open(const std::string& dir, std::string* error) {
  if (dir.empty() || !MakeDirs(dir)) {
    if (error) *error = ErrorText(("cannot make " + dir).c_str(), errno);
    return nullptr;
  }
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // A file system without O_TMPFILE: a named file, removed at once.
    std::string name = dir + "/spill-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
      if (error) *error = ErrorText(("cannot create a file in " + dir).c_str(), errno);
      return nullptr;
    }
    ::unlink(path.data());
  }
  return std::unique_ptr<SpillStore>(new SpillStore(fd));
}

SpillStore::~SpillStore() { ::close(fd_); }

std::optional<SpillRef> SpillStore::Append(std::string_view a, std::string_view b) {
  const std::size_t total = a.size() + b.size();
  if (total > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  std::lock_guard lock(appendMutex_);
  const std::uint64_t start = committed_.load(std::memory_order_relaxed);
  if (start > std::numeric_limits<std::uint64_t>::max() - total) return std::nullopt;
  std::uint64_t at = start;
  for (std::string_view part : {a, b}) {
    while (!part.empty()) {
      const ssize_t n = ::pwrite(fd_, part.data(), part.size(), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // Whatever was written beyond the committed end is overwritten by the next append.
        NoteFailure(n < 0 ? errno : ENOSPC);
        return std::nullopt;
      }
      part.remove_prefix(static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
  }
  committed_.store(at, std::memory_order_release);
  return SpillRef{start, static_cast<std::uint32_t>(total)};
}

bool SpillStore::Read(std::uint64_t offset, std::size_t size, std::string& out) const {
  out.clear();
  const std::uint64_t end = Committed();
  if (offset > end || size > end - offset) return false;
  out.resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out.clear();
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void SpillStore::NoteFailure(int error) {
  std::lock_guard lock(errorMutex_);
  if (!failed_.load(std::memory_order_relaxed)) firstError_ = ErrorText("cannot write the spill file", error);
  failed_.store(true, std::memory_order_release);
}

std::string SpillStore::FirstError() const {
  std::lock_guard lock(errorMutex_);
  return firstError_;
}

}  // namespace qv
