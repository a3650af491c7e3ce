#include "platform/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv {

namespace {

bool Absolute(const char* p) { return p != nullptr && p[0] == '/'; }

std::string WithoutTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace

std::string KeyFileFolder(const char* runtimeDir, const char* home) {
  if (Absolute(runtimeDir)) return WithoutTrailingSlashes(runtimeDir) + "/quelvar";
  if (Absolute(home)) return WithoutTrailingSlashes(home) + "/.cache/quelvar";
  return {};
}

std::vector<std::string> KeyLogPaths(std::string_view list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view p = list.substr(start, end - start);
    while (!p.empty() && (p.front() == ' ' || p.front() == '\t')) p.remove_prefix(1);
    while (!p.empty() && (p.back() == ' ' || p.back() == '\t' || p.back() == '\r' || p.back() == '\n')) p.remove_suffix(1);
    if (!p.empty()) out.emplace_back(p);
    start = end + 1;
  }
  return out;
}

int OpenPrivateFolder(const std::string& folder, std::string* why) {
  auto refuse = [&](const std::string& text) {
    if (why) *why = folder + ": " + text;
    return -1;
  };
  if (folder.empty() || folder[0] != '/') return refuse("not an absolute path");
  const std::string path = WithoutTrailingSlashes(folder);
  bool made = ::mkdir(path.c_str(), 0700) == 0;
  if (!made && errno == ENOENT) {
    // The parent (~/.cache on a new account) is made as a private folder too; a missing
    // $XDG_RUNTIME_DIR is not, since the system makes that one.
    const std::string parent = path.substr(0, path.rfind('/'));
    if (!parent.empty() && ::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
      return refuse("cannot make its parent folder: " + ErrorText(errno));
    made = ::mkdir(path.c_str(), 0700) == 0;
  }
  if (!made && errno != EEXIST) return refuse("cannot make the folder: " + ErrorText(errno));

  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat link {};
    if (e == ELOOP || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) return refuse("is a symbolic link");
    if (e == ENOTDIR) return refuse("is not a folder");
    return refuse("cannot open the folder: " + ErrorText(e));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return refuse("cannot read the folder's owner: " + ErrorText(e));
  }
  if (st.st_uid != ::geteuid()) {
    ::close(fd);
    return refuse("belongs to another user");
  }
  // A folder made here may have lost bits to the umask; the owner needs all three.
  if (made && (st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) == 0) st.st_mode = (st.st_mode & ~07777) | 0700;
  if ((st.st_mode & 077) != 0) {
    ::close(fd);
    return refuse("is open to other users (mode wider than 0700)");
  }
  return fd;
}

std::unique_ptr<KeyFile> KeyFile::Create(const std::string& folder, std::string* why) {
  const int dir = OpenPrivateFolder(folder, why);
  if (dir < 0) return nullptr;
  const std::string base = "sslkeys-" + std::to_string(::getpid());
  // A file of the same name left by an earlier process with this number is not taken over.
  for (int n = 0; n < 100; ++n) {
    const std::string name = base + (n == 0 ? std::string() : "-" + std::to_string(n)) + ".log";
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      const int e = errno;
      ::close(dir);
      if (why) *why = WithoutTrailingSlashes(folder) + "/" + name + ": " + ErrorText(e);
      return nullptr;
    }
    struct stat st {};
    // The umask may have taken the owner's write bit; the browser appends to this file.
    const bool ok = ::fchmod(fd, 0600) == 0 && ::fstat(fd, &st) == 0;
    const int e = errno;
    if (!ok) {
      ::close(fd);
      ::unlinkat(dir, name.c_str(), 0);
      ::close(dir);
      if (why) *why = WithoutTrailingSlashes(folder) + "/" + name + ": " + ErrorText(e);
      return nullptr;
    }
    // The descriptor stays open until the end, so that the file's inode number cannot be given to
    // another file meanwhile: the removal then knows the file it finds is this one.
    return std::unique_ptr<KeyFile>(new KeyFile(dir, fd, name, WithoutTrailingSlashes(folder) + "/" + name,
                                                static_cast<unsigned long long>(st.st_dev),
                                                static_cast<unsigned long long>(st.st_ino)));
  }
  ::close(dir);
  if (why) *why = WithoutTrailingSlashes(folder) + ": no free name for the key file";
  return nullptr;
}

KeyFile::KeyFile(int folderFd, int fileFd, std::string name, std::string path, unsigned long long device,
                 unsigned long long inode)
    : folderFd_(folderFd), fileFd_(fileFd), name_(std::move(name)), path_(std::move(path)), device_(device), inode_(inode) {}

KeyFile::~KeyFile() {
  if (!keep_) {
    struct stat st {};
    if (::fstatat(folderFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<unsigned long long>(st.st_dev) == device_ && static_cast<unsigned long long>(st.st_ino) == inode_)
      ::unlinkat(folderFd_, name_.c_str(), 0);
  }
  ::close(fileFd_);
  ::close(folderFd_);
}

}  // namespace qv
