// The settings store over one INI file (setting.ini). Caches nothing: every read goes to the file and
// every write changes the file at once. Sections and keys are matched without regard to ASCII case.
#pragma once
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

class SettingsStore {
 public:
  explicit SettingsStore(std::string path);
  const std::string& Path() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  std::string path_;
};

// Integer reading rule of the settings file: decimal with an optional sign, or hexadecimal after
// "0x", "0X" or "$". Returns false for anything else.
bool ParseSettingInteger(std::string_view text, int& out);

}  // namespace qv
