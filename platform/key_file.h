// The program's own TLS key log: the file a browser started from the window writes its secrets to
// (SSLKEYLOGFILE). Whoever can read it can read that browser's traffic, so it lives in a private folder
// of the user, $XDG_RUNTIME_DIR/quelvar (else ~/.cache/quelvar), never beside the program, and is made
// with mode 0600 by this program alone. The folder is refused when it is a symbolic link, belongs to
// another user or lets anyone but its owner in.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The folder for the key file: $XDG_RUNTIME_DIR/quelvar when `runtimeDir` is an absolute path, else
// $HOME/.cache/quelvar when `home` is one; empty when neither is.
std::string KeyFileFolder(const char* runtimeDir, const char* home);

// The key log files of a setting that lists them separated by ';' (blanks around each are dropped,
// empty entries skipped).
std::vector<std::string> KeyLogPaths(std::string_view list);

// Makes `folder` (mode 0700) when it is missing, its parent too when that is missing, and opens it.
// Returns the folder's descriptor (close-on-exec), or -1 with `why` set when it cannot be made or is
// refused: a symbolic link, not a folder, owned by another user, or open to its group or others.
int OpenPrivateFolder(const std::string& folder, std::string* why);

class KeyFile {
 public:
  // A new, empty file in `folder` (checked by OpenPrivateFolder), mode 0600, named after this process;
  // never an existing file, never through a symbolic link. Null with `why` set when it cannot be made.
  static std::unique_ptr<KeyFile> Create(const std::string& folder, std::string* why);
  // Removes the file unless it is to be kept; a file that is no longer the one made here (replaced
  // meanwhile) is left alone.
  ~KeyFile();
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;

  const std::string& Path() const { return path_; }
  void SetKeep(bool keep) { keep_ = keep; }
  bool Keep() const { return keep_; }

 private:
  KeyFile(int folderFd, int fileFd, std::string name, std::string path, unsigned long long device, unsigned long long inode);

  int folderFd_;
  int fileFd_;  // held open: the file's identity stays its own
  std::string name_;
  std::string path_;
  unsigned long long device_;
  unsigned long long inode_;
  bool keep_ = false;
};

}  // namespace qv
