// The settings store over one INI file (setting.ini). The file is read once, at the first read, and its
// text answers every read after that; every write changes the file at once (and the text kept is then
// what was written). Sections and keys are matched without regard to ASCII case.
#pragma once
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/settings_location.h"  // kMaxSettingsFileBytes

namespace qv {

// Raised when a write cannot be completed; what() is "Unable to write to <full path>".
class SettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxSettingValue = 2047;


// Reading settings by section and key, with the reader's default when a key is absent (or, for
// integers and flags, not an integer).
class SettingsReader {
 public:
  virtual ~SettingsReader() = default;
  virtual std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const = 0;
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;
};

enum class ReadResult;

class SettingsStore : public SettingsReader {
 public:
  // How the file is read: ReadRegularFile(path, text, kMaxSettingsFileBytes) unless a test gives another.
  using FileReader = std::function<ReadResult(const std::string& path, std::string& text)>;

  explicit SettingsStore(std::string path, FileReader reader = {});
  const std::string& Path() const { return path_; }

  // From the text read at the first read. A file that was missing, unreadable, not a regular file or too
  // large then gives the defaults until Reload() or a write.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const override;

  // Each write reads the file afresh (a change that another program made to other keys stays), changes
  // the key's line, replaces the file and keeps the new text for the reads that follow.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // Forgets the text read: the next read goes to the file again.
  void Reload();

 private:
  ReadResult ReadFile(std::string& text) const;

  std::string path_;
  FileReader reader_;
  mutable std::mutex mutex_;          // guards the two below: reads are const but fill the text in
  mutable bool loaded_ = false;       // the file was read (whatever the result)
  mutable std::optional<std::string> text_;  // its text; nothing when it could not be read
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
