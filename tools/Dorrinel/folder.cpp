#include "tools/Dorrinel/folder.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

#include "tools/Dorrinel/names.h"

namespace dorrinel {

namespace {

constexpr char kUrlAttribute[] = "user.dorrinel.url";
constexpr char kValidatorAttribute[] = "user.dorrinel.validator";
constexpr unsigned kMaxNumber = 9999;
constexpr std::size_t kMaxAttributeBytes = 8192;

std::string PartName(const std::string& name) { return name + std::string(kPartSuffix); }

std::string Why(const std::string& what) { return what + ": " + ::strerror(errno); }

std::optional<std::string> Attribute(int fd, const char* attribute) {
  std::string value(kMaxAttributeBytes, '\0');
  const ssize_t n = ::fgetxattr(fd, attribute, value.data(), value.size());
  if (n < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(n));
  return value;
}

}  // namespace

// ---- PartFile -------------------------------------------------------------------------------------

PartFile::~PartFile() { ::close(fd_); }

bool PartFile::Write(const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd_, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
    size_ += static_cast<std::uint64_t>(w);
  }
  return true;
}

bool PartFile::Truncate() {
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
  size_ = 0;
  return true;
}

void PartFile::SetValidator(const std::string& validator) {
  if (validator.empty() || validator.size() > kMaxAttributeBytes) {
    ::fremovexattr(fd_, kValidatorAttribute);
  } else {
    ::fsetxattr(fd_, kValidatorAttribute, validator.data(), validator.size(), 0);
  }
}

std::string PartFile::Validator() const { return Attribute(fd_, kValidatorAttribute).value_or(std::string()); }

bool PartFile::Sync() { return ::fdatasync(fd_) == 0; }

// ---- DownloadFolder -----------------------------------------------------------------------------------

std::unique_ptr<DownloadFolder> DownloadFolder::Open(const std::string& path, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = Why(path);
    return nullptr;
  }
  return std::unique_ptr<DownloadFolder>(new DownloadFolder(fd, path));
}

DownloadFolder::~DownloadFolder() { ::close(fd_); }

bool DownloadFolder::Exists(const std::string& name) const {
  struct stat st;
  return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

DownloadFolder::Placement DownloadFolder::Place(const std::string& wanted, const std::string& url) const {
  for (unsigned n = 0; n <= kMaxNumber; ++n) {
    const std::string name = n == 0 ? wanted : NumberedName(wanted, n);
    if (Exists(name)) continue;
    const std::string part = PartName(name);
    if (!Exists(part)) return {name, false};
    // A partial file of the same address that no one is writing continues.
    const int fd = ::openat(fd_, part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st;
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                      Attribute(fd, kUrlAttribute) == url && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    if (ours) return {name, true};
  }
  return {};
}

std::unique_ptr<PartFile> DownloadFolder::CreatePart(const std::string& name, const std::string& url,
                                                     std::string& error) {
  const std::string part = PartName(name);
  const int fd = ::openat(fd_, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = Why(part);
    return nullptr;
  }
  ::flock(fd, LOCK_EX | LOCK_NB);
  // Without extended attributes (some file systems) the file simply cannot be continued later.
  ::fsetxattr(fd, kUrlAttribute, url.data(), std::min(url.size(), kMaxAttributeBytes), 0);
  return std::unique_ptr<PartFile>(new PartFile(fd, name, 0));
}

std::unique_ptr<PartFile> DownloadFolder::OpenPart(const std::string& name, std::string& error) {
  const std::string part = PartName(name);
  const int fd = ::openat(fd_, part.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = Why(part);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    error = part + ": not a plain file of its own";
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    error = part + ": in use by another download";
    return nullptr;
  }
  if (::fcntl(fd, F_SETFL, 0) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
    error = Why(part);
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<PartFile>(new PartFile(fd, name, static_cast<std::uint64_t>(st.st_size)));
}

std::optional<std::string> DownloadFolder::Finish(std::unique_ptr<PartFile> part, std::string& error) {
  std::string finalName;
  if (!part->Sync() || !Publish(*part, finalName, error)) {
    Discard(*part);
    return std::nullopt;
  }
  return path_ + "/" + finalName;
}

bool DownloadFolder::Publish(PartFile& part, std::string& finalName, std::string& error) {
  const std::string partName = PartName(part.name());
  ::fremovexattr(part.fd_, kUrlAttribute);
  ::fremovexattr(part.fd_, kValidatorAttribute);
  bool canRename = true;
  for (unsigned n = 0; n <= kMaxNumber; ++n) {
    const std::string name = n == 0 ? part.name() : NumberedName(part.name(), n);
    if (canRename) {
      if (::renameat2(fd_, partName.c_str(), fd_, name.c_str(), RENAME_NOREPLACE) == 0) {
        finalName = name;
        return true;
      }
      if (errno == EEXIST) continue;
      if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        error = Why(name);
        return false;
      }
      canRename = false;  // a file system without no-replace renames: a new link, then the old one goes
    }
    if (::linkat(fd_, partName.c_str(), fd_, name.c_str(), 0) == 0) {
      ::unlinkat(fd_, partName.c_str(), 0);
      finalName = name;
      return true;
    }
    if (errno != EEXIST) {
      error = Why(name);
      return false;
    }
  }
  error = part.name() + ": no free name";
  return false;
}

void DownloadFolder::Discard(PartFile& part) { ::unlinkat(fd_, PartName(part.name()).c_str(), 0); }

std::optional<std::uint64_t> DownloadFolder::FreeBytes() const {
  struct statvfs st;
  if (::fstatvfs(fd_, &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace dorrinel
