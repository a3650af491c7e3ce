// The settings store over one INI file (setting.ini). Caches nothing: every read goes to the file and
// every write changes the file at once. Sections and keys are matched without regard to ASCII case.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qv {

// Raised when a write cannot be completed; what() is "Unable to write to <full path>".
class SettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxSettingValue = 2047;

// The settings file is a few kilobytes; a larger one is not read (it reads as if missing).
inline constexpr std::size_t kMaxSettingsFileBytes = std::size_t{1} << 20;

// Reading settings by section and key, with the reader's default when a key is absent (or, for
// integers and flags, not an integer).
class SettingsReader {
 public:
  virtual ~SettingsReader() = default;
  virtual std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const = 0;
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;
};

class SettingsStore : public SettingsReader {
 public:
  explicit SettingsStore(std::string path);
  const std::string& Path() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const override;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  std::string path_;
};

// The text of a settings file, read once: every read answers from it (a program that only reads its
// settings at start, such as the headless front).
class SettingsSnapshot : public SettingsReader {
 public:
  explicit SettingsSnapshot(std::string text = {});
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const override;

 private:
  std::string text_;
};

// Reads the settings file at `path` once. Nothing when it is missing, not a regular file (a FIFO or a
// directory is refused without waiting), unreadable or larger than kMaxSettingsFileBytes; `why` then
// says which, and `missing` tells the first case from the others.
std::optional<SettingsSnapshot> ReadSettingsFile(const std::string& path, std::string& why, bool& missing);

// Integer reading rule of the settings file: decimal with an optional sign, or hexadecimal after
// "0x", "0X" or "$". Returns false for anything else.
bool ParseSettingInteger(std::string_view text, int& out);

}  // namespace qv
