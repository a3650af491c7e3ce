#include "settings/app_settings.h"

#include <utility>

#include "common/bytes.h"

namespace qv {

namespace {

// A text key's value, or nothing when the key is absent: an absent key is the only one that reads as
// both of two different defaults.
std::optional<std::string> ReadText(const SettingsReader& reader, std::string_view section, std::string_view key) {
  std::string value = reader.ReadString(section, key, "\x01");
  if (value == "\x01" && reader.ReadString(section, key, "\x02") == "\x02") return std::nullopt;
  return value;
}

}  // namespace

DownloadProgram DownloadProgramOf(int stored) {
  if (stored == 2) return DownloadProgram::FlashGet;
  if (stored == 3) return DownloadProgram::Other;
  return DownloadProgram::NetTransport;
}

void AppSettings::Load() {
  if (store_) Load(*store_);
}

void AppSettings::Load(const SettingsReader& reader) {
  title_ = ReadText(reader, keys::kSystem, keys::kTitle);
  version_ = ReadText(reader, keys::kSystem, keys::kVersion);
  autoRun_ = reader.ReadBool(keys::kSystem, keys::kAutoRun, true);
  adapterName_ = reader.ReadString(keys::kSystem, keys::kAdapterName, kUnknownAdapter);
  downloader_ = DownloadProgramOf(reader.ReadInteger(keys::kSystem, keys::kDefaultDownloader, 1));
  downloadPath_ = reader.ReadString(keys::kSystem, keys::kDownloadPath, "");
  keyLogFile_ = reader.ReadString(keys::kSystem, keys::kKeyLogFile, "");
  httpsBrowser_ = reader.ReadString(keys::kSystem, keys::kHttpsBrowser, "");
  types_ = LoadFileTypes(reader);
}

void AppSettings::Write(std::string_view section, std::string_view key, std::string_view value) {
  if (store_) store_->WriteString(section, key, value);
}

void AppSettings::WriteFlag(std::string_view section, std::string_view key, bool on) { Write(section, key, on ? "1" : "0"); }

void AppSettings::SetAutoRun(bool on) {
  autoRun_ = on;
  WriteFlag(keys::kSystem, keys::kAutoRun, on);
}

void AppSettings::SetUndefinedTypes(bool on) {
  types_ = types_.WithUndefinedTypes(on);
  WriteFlag(keys::kFileType, keys::kUndefinedTypes, on);
}

void AppSettings::SetRepeatUrl(bool on) {
  types_ = types_.WithDuplicates(on);
  WriteFlag(keys::kSystem, keys::kRepeatUrl, on);
}

void AppSettings::SetHttpsHosts(bool on) {
  types_ = types_.WithHttpsHosts(on);
  WriteFlag(keys::kSystem, keys::kHttpsHosts, on);
}

void AppSettings::SetAdapterName(std::string name) {
  adapterName_ = std::move(name);
  Write(keys::kSystem, keys::kAdapterName, adapterName_);
}

void AppSettings::SetDownloader(DownloadProgram program) {
  downloader_ = program;
  Write(keys::kSystem, keys::kDefaultDownloader, std::to_string(static_cast<int>(program)));
}

void AppSettings::SetDownloadPath(std::string path) {
  downloadPath_ = std::move(path);
  Write(keys::kSystem, keys::kDownloadPath, downloadPath_);
}

void AppSettings::SetTitle(std::string title) {
  title_ = std::move(title);
  Write(keys::kSystem, keys::kTitle, *title_);
}

std::vector<std::string> AppSettings::KeyLogFiles() const {
  std::vector<std::string> out;
  std::string_view rest = keyLogFile_;
  while (!rest.empty()) {
    const std::size_t cut = rest.find(';');
    const std::string_view path = TrimView(rest.substr(0, cut));
    if (!path.empty()) out.emplace_back(path);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  return out;
}

void AppSettings::SetKeyLogFile(std::string paths) {
  keyLogFile_ = std::move(paths);
  Write(keys::kSystem, keys::kKeyLogFile, keyLogFile_);
}

void AppSettings::SetHttpsBrowser(std::string command) {
  httpsBrowser_ = std::move(command);
  Write(keys::kSystem, keys::kHttpsBrowser, httpsBrowser_);
}

void AppSettings::SetFileTypes(const FileTypeSnapshot& table) {
  FileTypeSnapshot next = table;
  next.undefinedTypes = types_.undefinedTypes;
  next.duplicates = types_.duplicates;
  next.httpsHosts = types_.httpsHosts;
  types_ = std::move(next);
}

void AppSettings::SaveFileTypes() {
  if (store_) qv::SaveFileTypes(*store_, types_);
}

FileTypeSnapshot LoadFileTypes(const SettingsReader& store) {
  FileTypeSnapshot table;
  table.undefinedTypes = store.ReadBool(keys::kFileType, keys::kUndefinedTypes, true);
  table.duplicates = store.ReadBool(keys::kSystem, keys::kRepeatUrl, false);
  table.httpsHosts = store.ReadBool(keys::kSystem, keys::kHttpsHosts, false);
  for (int c = 0; c < kCategoryCount; ++c) {
    for (FileTypeEntry& e : ParseExtensionList(store.ReadString(keys::kFileType, CategoryName(c), ""))) {
      table = table.WithEntry(c, std::move(e.text), e.checked);
    }
  }
  return table;
}

void SaveFileTypes(SettingsStore& store, const FileTypeSnapshot& table) {
  for (int c = 0; c < kCategoryCount; ++c)
    store.WriteString(keys::kFileType, CategoryName(c), FormatExtensionList(table.Entries(c)));
}

}  // namespace qv
