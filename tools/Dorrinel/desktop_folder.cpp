#include "tools/Dorrinel/desktop_folder.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dorrinel {
namespace {

constexpr std::string_view kKey = "XDG_DOWNLOAD_DIR=";
constexpr std::size_t kMaxFileBytes = 64 * 1024;

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// The text between the double quotes at the start of `s`, unescaped; nothing when the quotes are
// missing, unterminated, followed by more than blanks or a comment, or hold a `$` other than the
// leading $HOME (a shell would expand it, which this reading does not do).
std::optional<std::string> Quoted(std::string_view s, bool& startsWithHome) {
  startsWithHome = false;
  if (s.empty() || s.front() != '"') return std::nullopt;
  s.remove_prefix(1);
  if (s.substr(0, 5) == "$HOME" && (s.size() == 5 || s[5] == '/' || s[5] == '"')) {
    startsWithHome = true;
    s.remove_prefix(5);
  }
  std::string out;
  std::size_t i = 0;
  for (; i < s.size() && s[i] != '"'; ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() &&
        (s[i + 1] == '"' || s[i + 1] == '\\' || s[i + 1] == '$' || s[i + 1] == '`')) {
      c = s[++i];
    } else if (c == '$' || c == '`') {
      return std::nullopt;
    }
    out += c;
  }
  if (i == s.size()) return std::nullopt;  // no closing quote
  const std::string_view rest = TrimLeft(s.substr(i + 1));
  if (!rest.empty() && rest.front() != '#') return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> DownloadDirFromUserDirs(std::string_view text, const std::string& home) {
  std::optional<std::string> found;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = TrimLeft(line);
    if (line.substr(0, kKey.size()) != kKey) continue;
    bool fromHome = false;
    const std::optional<std::string> value = Quoted(line.substr(kKey.size()), fromHome);
    if (!value) {
      found.reset();
      continue;
    }
    std::string path;
    if (fromHome) {
      if (home.empty()) {
        found.reset();
        continue;
      }
      path = home + *value;
    } else if (!value->empty() && value->front() == '/') {
      path = *value;
    } else {
      found.reset();
      continue;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    found = path;
  }
  return found;
}

DesktopPlaces ThisDesktop() {
  DesktopPlaces places;
  const char* home = std::getenv("HOME");
  places.home = home != nullptr ? home : "";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is not taken (XDG base directories must be absolute).
  places.configHome = config != nullptr && config[0] == '/' ? std::string(config) : places.home + "/.config";
  const char* download = std::getenv("XDG_DOWNLOAD_DIR");
  places.downloadVariable = download != nullptr ? download : "";
  places.readFile = [](const std::string& path) -> std::optional<std::string> {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kMaxFileBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
  };
  places.isDirectory = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  return places;
}

std::string DesktopDownloadFolder(const DesktopPlaces& places) {
  if (places.readFile) {
    if (const auto text = places.readFile(places.configHome + "/user-dirs.dirs")) {
      if (auto folder = DownloadDirFromUserDirs(*text, places.home)) return *folder;
    }
  }
  if (!places.downloadVariable.empty() && places.downloadVariable.front() == '/') return places.downloadVariable;
  const std::string downloads = places.home + "/Downloads";
  if (!places.home.empty() && places.isDirectory && places.isDirectory(downloads)) return downloads;
  return places.home;
}

}  // namespace dorrinel
