// The current user's registry, in the small form the program needs: keys addressed by a path such as
// "\Software\Microsoft\Internet Explorer\MenuExt\<name>", each with one default (unnamed) string value.
// The keys live in one text file in the user's configuration folder; nothing is cached, every call
// reads the file, and every change replaces the file as a whole (temporary file, then rename), so a
// reader never sees half a write.
//
// Key paths and values are GBK byte strings and are stored byte for byte. Key paths are matched
// ignoring the case of ASCII letters (never of the bytes of a GBK double-byte character); a backslash
// separates the parts of a path, and empty parts ("\\", a leading or closing "\") do not count. A key
// exists when it was created or when a key below it was: creating a key creates the keys above it.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// $XDG_CONFIG_HOME/quelvar/registry.ini, or ~/.config/quelvar/registry.ini when that variable is
// unset, empty or not an absolute path. Empty when neither it nor $HOME gives a folder.
std::string UserRegistryPath();

class UserRegistry {
 public:
  explicit UserRegistry(std::string path = UserRegistryPath());
  const std::string& Path() const { return path_; }

  // Opens an existing key without creating it: true when the key exists. False for a missing key,
  // an empty path, or a file that cannot be read.
  bool OpenKey(std::string_view key) const;

  // The default value of an existing key; empty text when the key has none. Nothing when the key
  // does not exist (or the file cannot be read).
  std::optional<std::string> ReadDefault(std::string_view key) const;

  // Creates the key when it does not exist yet. An existing key, and its value, stay as they are.
  // True when the key exists afterwards.
  bool CreateKey(std::string_view key);

  // Sets the default value of the key, creating the key first when needed. False when the file
  // cannot be read or written; the file is then unchanged.
  bool WriteDefault(std::string_view key, std::string_view value);

 private:
  std::string path_;
};

}  // namespace qv
