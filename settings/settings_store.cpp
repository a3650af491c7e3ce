#include "settings/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/text_file.h"
#include "common/bytes.h"

// File layout handled here:
//   - the file is a run of lines, each ended by LF or CR LF (the last one may have no end);
//   - "[name]" (blanks allowed around it) opens a section; "key=value" belongs to the section above it;
//     lines that start with ";" are comments; lines before the first section belong to no section;
//   - names are compared ignoring ASCII case; the bytes of a GBK double-byte character are compared as
//     they are, so two different Chinese names never fold together;
//   - when a section name occurs more than once, its occurrences form one section: a key is looked up
//     through all of them in file order, and a new key goes to the first one.
//
// A write changes only the key's own line (or adds one line, or adds a section header and one line); all
// other bytes stay as they are. New lines follow the line ends the file already uses (CR LF when the file
// has none yet). A new key goes right after the last key line of its section, so that comments and blank
// lines that close a section (usually introducing the next one) stay in front of the next section.
//
// Writes never modify the file in place: the new content goes to a temporary file in the same folder,
// which is flushed to disk and then renamed over the old file. A program that dies half-way leaves either
// the old or the new file, never a truncated one.

namespace qv {

namespace {

std::size_t GbkFindByte(std::string_view s, char c) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == c) return i;
    if (IsGbkLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ++i;
  }
  return npos;
}

enum class Kind { kOther, kSection, kKey };

struct Parsed {
  Kind kind = Kind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key lines: the raw text after the first "="
};

Parsed ParseLine(std::string_view content) {
  Parsed p;
  const std::string_view t = TrimView(content);
  if (t.empty() || t[0] == ';') return p;
  if (t[0] == '[') {
    const std::string_view rest = t.substr(1);
    const std::size_t close = GbkFindByte(rest, ']');
    if (close != npos) {
      p.kind = Kind::kSection;
      p.name = TrimView(rest.substr(0, close));
      return p;
    }
  }
  const std::size_t eq = content.find('=');  // "=" is never a GBK trail byte
  if (eq == npos) return p;
  p.kind = Kind::kKey;
  p.name = TrimView(content.substr(0, eq));
  p.value = content.substr(eq + 1);
  return p;
}

// Where a key stands in a file, or where it would go.
struct Location {
  std::optional<std::size_t> keyLine;       // the key's line
  std::optional<std::size_t> sectionLine;   // header of the first occurrence of the section
  std::optional<std::size_t> lastKeyLine;   // last key line of that first occurrence
};

Location Locate(std::string_view text, const std::vector<Line>& lines, std::string_view section,
                std::string_view key) {
  Location loc;
  bool inSection = false;
  bool inFirst = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Parsed p = ParseLine(text.substr(lines[i].begin, lines[i].contentEnd - lines[i].begin));
    if (p.kind == Kind::kSection) {
      inSection = GbkSameName(p.name, section);
      inFirst = inSection && !loc.sectionLine;
      if (inFirst) loc.sectionLine = i;
      continue;
    }
    if (!inSection || p.kind != Kind::kKey) continue;
    if (inFirst) loc.lastKeyLine = i;
    if (!loc.keyLine && GbkSameName(p.name, key)) loc.keyLine = i;
  }
  return loc;
}


// Value text as written: a line end inside it would start new lines in the file (and could forge other
// keys), so CR and LF become blanks.
std::string OneLine(std::string_view value) {
  std::string v(value);
  for (char& c : v) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return v;
}

// The value of a key in the text of a settings file, as the reading rules give it.
std::string ValueIn(std::string_view text, std::string_view section, std::string_view key, std::string_view def) {
  const std::vector<Line> lines = SplitLines(text);
  const Location loc = Locate(text, lines, section, key);
  if (!loc.keyLine) return std::string(def);
  const Line& l = lines[*loc.keyLine];
  std::string_view v = ParseLine(text.substr(l.begin, l.contentEnd - l.begin)).value;
  v = TrimView(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kMaxSettingValue) v = v.substr(0, kMaxSettingValue);
  return std::string(v);
}

}  // namespace

int SettingsReader::ReadInteger(std::string_view section, std::string_view key, int def) const {
  int out = 0;
  if (!ParseSettingInteger(ReadString(section, key, ""), out)) return def;
  return out;
}

bool SettingsReader::ReadBool(std::string_view section, std::string_view key, bool def) const {
  int out = 0;
  if (!ParseSettingInteger(ReadString(section, key, ""), out)) return def;
  return out != 0;
}

SettingsStore::SettingsStore(std::string path, FileReader reader) : path_(std::move(path)), reader_(std::move(reader)) {}

ReadResult SettingsStore::ReadFile(std::string& text) const {
  text.clear();
  return reader_ ? reader_(path_, text) : ReadRegularFile(path_, text, kMaxSettingsFileBytes);
}

std::string SettingsStore::ReadString(std::string_view section, std::string_view key,
                                      std::string_view def) const {
  const std::lock_guard lock(mutex_);
  if (!loaded_) {
    std::string text;
    if (ReadFile(text) == ReadResult::kOk) text_ = std::move(text);
    else text_.reset();
    loaded_ = true;
  }
  if (!text_) return std::string(def);
  return ValueIn(*text_, section, key, def);
}

void SettingsStore::Reload() {
  const std::lock_guard lock(mutex_);
  loaded_ = false;
  text_.reset();
}

SettingsSnapshot::SettingsSnapshot(std::string text) : text_(std::move(text)) {}

std::string SettingsSnapshot::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  return ValueIn(text_, section, key, def);
}

std::optional<SettingsSnapshot> ReadSettingsFile(const std::string& path, std::string& why, bool& missing) {
  std::string text;
  const ReadResult r = ReadRegularFile(path, text, kMaxSettingsFileBytes, &why);
  missing = r == ReadResult::kMissing;
  if (r != ReadResult::kOk) return std::nullopt;
  return SettingsSnapshot(std::move(text));
}

void SettingsStore::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::lock_guard lock(mutex_);
  std::string text;
  if (ReadFile(text) == ReadResult::kFailed) throw SettingsWriteError("Unable to write to " + path_);
  const std::vector<Line> lines = SplitLines(text);
  const Location loc = Locate(text, lines, section, key);
  const std::string v = OneLine(value);

  // New lines take the line end of the first line that has one.
  std::string eol = "\r\n";
  if (!lines.empty() && lines.front().contentEnd != lines.front().end) {
    eol = std::string(text, lines.front().contentEnd, lines.front().end - lines.front().contentEnd);
  }

  std::string out;
  out.reserve(text.size() + key.size() + v.size() + section.size() + 8);
  if (loc.keyLine) {
    const Line& l = lines[*loc.keyLine];
    const std::string_view content = std::string_view(text).substr(l.begin, l.contentEnd - l.begin);
    const std::size_t eq = content.find('=');
    out.append(text, 0, l.begin);
    out.append(content.substr(0, eq + 1));  // the key as the file spells it
    out.append(v);
    out.append(text, l.contentEnd, std::string::npos);
  } else {
    const std::string keyLine = std::string(key) + "=" + v;
    std::size_t at;  // insert before this byte
    std::string insert;
    if (loc.sectionLine) {
      const Line& after = lines[loc.lastKeyLine ? *loc.lastKeyLine : *loc.sectionLine];
      at = after.end;
      if (after.end == after.contentEnd) insert += eol;  // that line ends the file without a line end
      insert += keyLine + eol;
    } else {
      at = text.size();
      if (!lines.empty() && lines.back().end == lines.back().contentEnd) insert += eol;
      insert += "[" + std::string(section) + "]" + eol + keyLine + eol;
    }
    out.append(text, 0, at);
    out.append(insert);
    out.append(text, at, std::string::npos);
  }

  if (!ReplaceFileAtomically(path_, out)) {
    // The file is as it was: what was just read is its text.
    text_ = std::move(text);
    loaded_ = true;
    throw SettingsWriteError("Unable to write to " + path_);
  }
  text_ = std::move(out);
  loaded_ = true;
}

void SettingsStore::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

void SettingsStore::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool ParseSettingInteger(std::string_view text, int& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > limit) return false;
  }
  out = static_cast<int>(negative ? -value : value);
  return true;
}

}  // namespace qv
