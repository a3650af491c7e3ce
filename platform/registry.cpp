#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/text_file.h"
#include "common/bytes.h"

// File layout:
//
//   ; comment lines start with ";"
//   [\Software\Microsoft\Internet Explorer\MenuExt\<name>]
//   @=<default value>
//
// One section per key, headed by the key's full path in square brackets; the line "@=..." holds its
// default value, taken to the end of the line as it is (blanks included). In paths and values every
// byte below 0x20, the byte 0x7F and "%" itself are written as "%" and two hexadecimal digits, so that
// no value can break a line or forge a section. Other lines are kept as they are when the file is
// rewritten. When a key has more than one section, the first one counts.

namespace qv {

namespace {

// ---- key paths ----------------------------------------------------------------------------------

// The parts of a key path, split at backslashes that are not the trail byte of a GBK character.
std::vector<std::string_view> SplitKey(std::string_view key) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < key.size()) {
    const auto b = static_cast<unsigned char>(key[i]);
    if (IsGbkLead(b) && i + 1 < key.size()) {
      i += 2;
      continue;
    }
    if (key[i] == '\\') {
      if (i > start) parts.push_back(key.substr(start, i - start));
      start = i + 1;
    }
    ++i;
  }
  if (key.size() > start) parts.push_back(key.substr(start));
  return parts;
}

// The path in its one spelling: "\" before every part.
std::string NormalKey(std::string_view key) {
  std::string out;
  for (std::string_view p : SplitKey(key)) {
    out += '\\';
    out += p;
  }
  return out;
}

enum class Relation { kOther, kSame, kBelow };

// How the stored key `stored` stands to the key `wanted` (both already split).
Relation Relate(const std::vector<std::string_view>& stored, const std::vector<std::string_view>& wanted) {
  if (stored.size() < wanted.size()) return Relation::kOther;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (!GbkSameName(stored[i], wanted[i])) return Relation::kOther;
  }
  return stored.size() == wanted.size() ? Relation::kSame : Relation::kBelow;
}

// ---- escaping -----------------------------------------------------------------------------------

bool NeedsEscape(unsigned char b) { return b < 0x20 || b == 0x7F || b == '%'; }

std::string Escape(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (NeedsEscape(b)) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

// ---- the file as lines --------------------------------------------------------------------------

// The key path of a section header line, or nothing when the line is not one.
std::optional<std::string> HeaderKey(std::string_view content) {
  const std::string_view t = TrimView(content);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return PercentDecode(t.substr(1, t.size() - 2));
}

bool IsDefaultLine(std::string_view content) { return content.size() >= 2 && content.substr(0, 2) == "@="; }

// Where a key stands in the file.
struct Found {
  bool exists = false;                      // the key or a key below it has a section
  std::optional<std::size_t> header;        // the key's own (first) section header line
  std::optional<std::size_t> defaultLine;   // its "@=" line
};

Found Find(std::string_view text, const std::vector<Line>& lines, const std::vector<std::string_view>& wanted) {
  Found f;
  bool inKey = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view content = text.substr(lines[i].begin, lines[i].contentEnd - lines[i].begin);
    if (const auto key = HeaderKey(content)) {
      const Relation r = Relate(SplitKey(*key), wanted);
      if (r != Relation::kOther) f.exists = true;
      inKey = r == Relation::kSame && !f.header;
      if (inKey) f.header = i;
      continue;
    }
    if (inKey && !f.defaultLine && IsDefaultLine(content)) f.defaultLine = i;
  }
  return f;
}

// ---- file access --------------------------------------------------------------------------------


// Creates the folder and the missing folders above it (mode 0700: the registry is the user's own).
bool MakeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = FolderOf(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// The registry file holds the user's keys only: it is created readable by the user alone.
bool ReplaceFile(const std::string& path, std::string_view content) {
  return MakeFolders(FolderOf(path)) && ReplaceFileAtomically(path, content, 0600);
}

constexpr std::string_view kFileHeader =
    "; The current user's registry keys of Quelvar: one section per key, its path in brackets;\n"
    "; \"@=\" holds the key's default value.\n";

// The file with the key's section made present and, when `value` is given, its default value set.
// Nothing when the file already says so (no write needed).
std::optional<std::string> Edit(std::string_view text, const std::vector<std::string_view>& wanted,
                                const std::string& normalKey, const std::optional<std::string_view>& value) {
  const std::vector<Line> lines = SplitLines(text);
  const Found f = Find(text, lines, wanted);
  if (f.header && !value) return std::nullopt;  // the key exists: creating it changes nothing

  // New lines follow the line ends the file already uses.
  std::string eol = "\n";
  if (!lines.empty() && lines.front().contentEnd != lines.front().end) {
    eol = std::string(text.substr(lines.front().contentEnd, lines.front().end - lines.front().contentEnd));
  }
  const std::string valueLine = value ? "@=" + Escape(*value) : std::string();

  std::string out;
  if (f.header && f.defaultLine) {
    const Line& l = lines[*f.defaultLine];
    if (text.substr(l.begin, l.contentEnd - l.begin) == valueLine) return std::nullopt;
    out.append(text.substr(0, l.begin));
    out.append(valueLine);
    out.append(text.substr(l.contentEnd));
  } else if (f.header) {
    const Line& l = lines[*f.header];
    out.append(text.substr(0, l.end));
    if (l.end == l.contentEnd) out.append(eol);  // the header ends the file without a line end
    out.append(valueLine + eol);
    out.append(text.substr(l.end));
  } else {
    if (text.empty()) {
      out.append(kFileHeader);
    } else {
      out.append(text);
      if (lines.back().end == lines.back().contentEnd) out.append(eol);
    }
    out.append("[" + Escape(normalKey) + "]" + eol);
    if (value) out.append(valueLine + eol);
  }
  return out;
}

}  // namespace

std::string UserRegistryPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    base = std::string(home) + "/.config";
  }
  return base + "/quelvar/registry.ini";
}

UserRegistry::UserRegistry(std::string path) : path_(std::move(path)) {}

bool UserRegistry::OpenKey(std::string_view key) const {
  const std::vector<std::string_view> wanted = SplitKey(key);
  if (wanted.empty()) return false;
  std::string text;
  if (ReadWholeFile(path_, text) != ReadResult::kOk) return false;
  return Find(text, SplitLines(text), wanted).exists;
}

std::optional<std::string> UserRegistry::ReadDefault(std::string_view key) const {
  const std::vector<std::string_view> wanted = SplitKey(key);
  if (wanted.empty()) return std::nullopt;
  std::string text;
  if (ReadWholeFile(path_, text) != ReadResult::kOk) return std::nullopt;
  const std::vector<Line> lines = SplitLines(text);
  const Found f = Find(text, lines, wanted);
  if (!f.exists) return std::nullopt;
  if (!f.defaultLine) return std::string();
  const Line& l = lines[*f.defaultLine];
  return PercentDecode(std::string_view(text).substr(l.begin + 2, l.contentEnd - l.begin - 2));
}

bool UserRegistry::CreateKey(std::string_view key) {
  const std::vector<std::string_view> wanted = SplitKey(key);
  if (wanted.empty()) return false;
  std::string text;
  if (ReadWholeFile(path_, text) == ReadResult::kFailed) return false;
  const std::optional<std::string> out = Edit(text, wanted, NormalKey(key), std::nullopt);
  return !out || ReplaceFile(path_, *out);
}

bool UserRegistry::WriteDefault(std::string_view key, std::string_view value) {
  const std::vector<std::string_view> wanted = SplitKey(key);
  if (wanted.empty()) return false;
  std::string text;
  if (ReadWholeFile(path_, text) == ReadResult::kFailed) return false;
  const std::optional<std::string> out = Edit(text, wanted, NormalKey(key), value);
  return !out || ReplaceFile(path_, *out);
}

}  // namespace qv
