// The program's settings as typed values over setting.ini. Every key of the file is spelled here once;
// the window, its settings dialog and quelvar-scan all read them through AppSettings. Load reads every
// key; each setter changes the value and, when the settings have a store, writes its key at once (a
// failed write raises SettingsWriteError after the value has changed, as the dialog shows it).
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/texts.h"
#include "settings/settings_store.h"
#include "urls/file_type_table.h"

namespace qv {

namespace keys {
inline constexpr std::string_view kSystem = "system";
inline constexpr std::string_view kFileType = "FileType";

inline constexpr std::string_view kTitle = "title";
inline constexpr std::string_view kAutoRun = "autoRun";
inline constexpr std::string_view kRepeatUrl = "repeatURL";
inline constexpr std::string_view kHttpsHosts = "httpsHosts";
inline constexpr std::string_view kAdapterName = "AdaptorName";  // spelled so in every settings file
inline constexpr std::string_view kDownloadPath = "DownloadPath";
inline constexpr std::string_view kDefaultDownloader = "DefaultDL";
inline constexpr std::string_view kVersion = "version";
inline constexpr std::string_view kKeyLogFile = "keyLogFile";
inline constexpr std::string_view kHttpsBrowser = "httpsBrowser";
// Section FileType: the five category keys (CategoryName) and this switch.
inline constexpr std::string_view kUndefinedTypes = texts::kUndefinedTypesKey;
// What the program leaves for the external updater in section FileType (never read back); the window
// handle goes under the section name as the updater has always spelled it.
inline constexpr std::string_view kUpdatePath = "uppath";
inline constexpr std::string_view kWindowHandle = "hwnd";
inline constexpr std::string_view kFileTypeAsUpdaterSpellsIt = "fileType";
}  // namespace keys

// The program a double click hands an address to; the values are those stored under DefaultDL.
enum class DownloadProgram { NetTransport = 1, FlashGet = 2, Other = 3 };
// A stored DefaultDL: 2 and 3 name their programs, anything else is NetTransport.
DownloadProgram DownloadProgramOf(int stored);

// What an absent key reads as.
inline constexpr std::string_view kDefaultWindowTitle = "Quelvar(Tessoran)";  // the window's caption
inline constexpr std::string_view kDefaultTitleText = "Quelvar";              // the dialog's title edit
inline constexpr std::string_view kUnknownAdapter = "???";

class AppSettings {
 public:
  // The defaults; setters write to `store` when it is given (it must outlive these settings).
  explicit AppSettings(SettingsStore* store = nullptr) : store_(store) {}

  // Reads every key from the store given at construction (nothing without one), or from `reader`.
  void Load();
  void Load(const SettingsReader& reader);
  SettingsStore* Store() const { return store_; }

  bool AutoRun() const { return autoRun_; }
  void SetAutoRun(bool on);

  // The three listing switches live in the file-type table, which classification reads whole.
  bool UndefinedTypes() const { return types_.undefinedTypes; }
  void SetUndefinedTypes(bool on);
  bool RepeatUrl() const { return types_.duplicates; }
  void SetRepeatUrl(bool on);
  bool HttpsHosts() const { return types_.httpsHosts; }
  void SetHttpsHosts(bool on);

  // The adapter chosen last (a capture device name).
  const std::string& AdapterName() const { return adapterName_; }
  void SetAdapterName(std::string name);

  DownloadProgram Downloader() const { return downloader_; }
  void SetDownloader(DownloadProgram program);
  // The other download program's command line (GBK).
  const std::string& DownloadPath() const { return downloadPath_; }
  void SetDownloadPath(std::string path);

  // The stored title (GBK), nothing when the file has none; the window and the dialog's edit read an
  // absent title differently.
  const std::optional<std::string>& Title() const { return title_; }
  std::string WindowTitle() const { return title_.value_or(std::string(kDefaultWindowTitle)); }
  std::string TitleText() const { return title_.value_or(std::string(kDefaultTitleText)); }
  void SetTitle(std::string title);

  // The installed version; the program never writes it.
  const std::optional<std::string>& Version() const { return version_; }

  // The browsers' TLS key log files, as stored: paths separated by ';'.
  const std::string& KeyLogFile() const { return keyLogFile_; }
  std::vector<std::string> KeyLogFiles() const;
  void SetKeyLogFile(std::string paths);
  // The browser command of the HTTPS window command; empty: picked automatically.
  const std::string& HttpsBrowser() const { return httpsBrowser_; }
  void SetHttpsBrowser(std::string command);

  // The file-type table with the three switches. SetFileTypes replaces the categories' entries (the
  // switches stay as they are) and writes nothing: SaveFileTypes writes the five category keys.
  const FileTypeSnapshot& FileTypes() const { return types_; }
  void SetFileTypes(const FileTypeSnapshot& table);
  void SaveFileTypes();

 private:
  void Write(std::string_view section, std::string_view key, std::string_view value);
  void WriteFlag(std::string_view section, std::string_view key, bool on);

  SettingsStore* store_;
  bool autoRun_ = true;
  std::string adapterName_ = std::string(kUnknownAdapter);
  DownloadProgram downloader_ = DownloadProgram::NetTransport;
  std::string downloadPath_;
  std::optional<std::string> title_;
  std::optional<std::string> version_;
  std::string keyLogFile_;
  std::string httpsBrowser_;
  FileTypeSnapshot types_ = FileTypeSnapshot().WithUndefinedTypes(true);
};

// The file-type table and its switches as a settings file holds them (an absent file: an empty table,
// undefined types listed, duplicates and server names not).
FileTypeSnapshot LoadFileTypes(const SettingsReader& store);
// Writes the five category keys.
void SaveFileTypes(SettingsStore& store, const FileTypeSnapshot& table);

}  // namespace qv
