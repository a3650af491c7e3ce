#include "common/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <optional>

namespace qv {

namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, mode_t createMode) {
  // Writing through a symbolic link changes the file it points to, and the link stays a link. Only a
  // link to a regular file of this user is followed: a link to another user's file (a system file
  // placed where this program saves) or to nothing is refused.
  std::string target = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    std::free(real);
    if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return false;
  }
  // The file replaced, when there is one: its owner, group and permissions go to the new file.
  std::optional<struct stat> old;
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return false;
    old = st;
  }

  // A fresh name beside the target; created with the usual permissions (umask applies), then given
  // the old file's owner, group and permissions when there is one.
  static std::atomic<unsigned> counter{0};
  std::string tmpl;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmpl = target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    fd = ::open(tmpl.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    // A file that cannot keep its owner or group is not replaced (the rename would hand it to this
    // user). The owner first: changing it clears the set-user-ID and set-group-ID bits.
    struct stat now {};
    ok = ::fstat(fd, &now) == 0;
    if (ok && (now.st_uid != old->st_uid || now.st_gid != old->st_gid))
      ok = ::fchown(fd, old->st_uid, old->st_gid) == 0;
    ok = ok && ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(tmpl.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tmpl.c_str());
    return false;
  }
  // Make the rename itself durable.
  const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
  return ReadRegularFile(path, out, kMaxTextFileBytes);
}

ReadResult ReadRegularFile(const std::string& path, std::string& out, std::size_t maxBytes, std::string* why) {
  out.clear();
  auto fail = [&](ReadResult r, std::string text) {
    if (why) *why = std::move(text);
    out.clear();
    return r;
  };
  if (path.empty()) return fail(ReadResult::kFailed, "no file name");
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    return e == ENOENT ? fail(ReadResult::kMissing, "no such file") : fail(ReadResult::kFailed, std::strerror(e));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(ReadResult::kFailed, S_ISDIR(st.st_mode) ? "a directory, not a file" : "not a regular file");
  }
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return fail(ReadResult::kFailed, tooLarge);
  }
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      return fail(ReadResult::kFailed, std::strerror(e));
    }
    if (n == 0) break;
    // The file may grow while it is read: the limit holds for what is read, not only for its size.
    if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
      ::close(fd);
      return fail(ReadResult::kFailed, tooLarge);
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ReadResult::kOk;
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line l;
    l.begin = pos;
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) {
      l.contentEnd = l.end = text.size();
    } else {
      l.end = lf + 1;
      l.contentEnd = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
    }
    lines.push_back(l);
    pos = l.end;
  }
  return lines;
}

}  // namespace qv
