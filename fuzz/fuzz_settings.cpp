// Fuzz target: arbitrary bytes as a settings file. The input is written to a file and read through the
// settings store (texts, integers, flags, the file-type table), parsed as one extension list, and then
// one key is written and read back.
//
// What must hold:
//   - a value written is read back as the read rules make of it: CR and LF inside it were written as
//     blanks, blanks around it are dropped, quotes enclosing it are removed, and at most 2047 bytes
//     come back;
//   - the write touches only that key's line (or adds lines): every other line of the file keeps its
//     text and order, and every other key reads as before;
//   - an extension list whose entries hold no separator survives formatting and parsing again.
// Where the key is written is chosen from the input: bytes 0-2 pick the section and key (an existing
// one or a known name) and which bytes of the input make the value.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/texts.h"
#include "settings/app_settings.h"
#include "urls/file_type_table.h"
#include "settings/settings_store.h"

namespace {

using namespace qv;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_settings: invariant broken: %s\n", what);
  std::abort();
}
#define CHECK(cond) \
  do {              \
    if (!(cond)) Fail(#cond); \
  } while (0)

// One folder per process under $TMPDIR (else on the memory file system when there is one, since
// every write is flushed to disk), removed at a normal exit.
const std::string& WorkFile() {
  static const std::string path = [] {
    std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    if (const char* t = std::getenv("TMPDIR"); t && *t) base = t;
    std::string tmpl = base + "/quelvar-fuzz-settings-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    static std::string dir = tmpl;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    return dir + "/setting.ini";
  }();
  return path;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

std::string ReadFile(const std::string& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) std::abort();
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Lines as the file holds them: each ends at LF, a last line without LF counts when it is not empty.
// Trailing CRs belong to the line end, so a line that gains a line end keeps its text.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(pos, end - pos);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    pos = lf == std::string_view::npos ? text.size() : lf + 1;
  }
  return out;
}

// A name that reads back as written wherever it is put: printable ASCII without the bytes that make a
// line a section header, a comment or split it at "=", and whole GBK double-byte characters.
bool SaneName(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (IsGbkLead(c)) {
      if (i + 1 >= s.size()) return false;
      const auto t = static_cast<unsigned char>(s[i + 1]);
      if (t < 0x40 || t == 0x7F || t == 0xFF) return false;
      ++i;
      continue;
    }
    if (c <= 0x20 || c >= 0x7F || c == '[' || c == ']' || c == '=' || c == ';') return false;
  }
  return true;
}

bool SameAsciiFold(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerByte(a[i]) != LowerByte(b[i])) return false;
  return true;
}

// Section and key names of the file, by a plain reading of its lines (only used to pick names to
// query; the store's own reading decides what they hold).
std::vector<std::pair<std::string, std::string>> NamesIn(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string section;
  for (std::string_view line : Lines(text)) {
    const std::string_view t = TrimView(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const std::size_t close = t.find(']');
      if (close != std::string_view::npos) {
        section = std::string(TrimView(t.substr(1, close - 1)));
        continue;
      }
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    out.emplace_back(section, std::string(TrimView(line.substr(0, eq))));
    if (out.size() == 24) break;
  }
  return out;
}

// What the read rules make of a value written with WriteString.
std::string AsRead(std::string_view written) {
  std::string v(written);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  std::string_view r = TrimView(v);
  if (r.size() >= 2 && (r.front() == '"' || r.front() == '\'') && r.back() == r.front())
    r = r.substr(1, r.size() - 2);
  if (r.size() > kMaxSettingValue) r = r.substr(0, kMaxSettingValue);
  return std::string(r);
}

// Entry texts that formatting cannot split apart again: no "|", blank or control byte outside a
// double-byte character, and no unfinished double-byte character at the end.
bool SurvivesFormatting(const std::vector<FileTypeEntry>& entries) {
  for (const FileTypeEntry& e : entries) {
    const std::string& s = e.text;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (IsGbkLead(c)) {
        if (i + 1 >= s.size()) return false;
        ++i;
        continue;
      }
      if (c <= 0x20 || c == '|') return false;
    }
  }
  return true;
}

void CheckExtensionList(std::string_view value) {
  const std::vector<FileTypeEntry> entries = ParseExtensionList(value);
  for (const FileTypeEntry& e : entries) CHECK(!e.text.empty() && e.text[0] == '.');
  if (!SurvivesFormatting(entries)) return;
  const std::vector<FileTypeEntry> again = ParseExtensionList(FormatExtensionList(entries));
  CHECK(again.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    CHECK(again[i].text == entries[i].text);
    CHECK(again[i].checked == entries[i].checked);
  }
}

constexpr std::string_view kAbsent = "\x01 absent";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string& path = WorkFile();
  WriteFile(path, input);
  SettingsStore store(path);

  // Reads of the keys the program uses.
  (void)store.ReadString("system", "title", "Quelvar");
  (void)store.ReadInteger("system", "DefaultDL", 1);
  (void)store.ReadBool("system", "autoRun", true);
  int n = 0;
  if (ParseSettingInteger(store.ReadString("system", "version", ""), n)) {
    int again = 0;
    CHECK(ParseSettingInteger(std::to_string(n), again) && again == n);
  }
  const FileTypeSnapshot table = LoadFileTypes(store);
  for (int c = 0; c < kCategoryCount; ++c) {
    bool any = false;
    for (const FileTypeEntry& e : table.Entries(c)) {
      CHECK(!e.text.empty() && e.text[0] == '.');
      any = any || e.checked;
    }
    CHECK(table.CategoryChecked(c) == any);
  }
  CheckExtensionList(input);

  // Pick the key to write.
  const auto names = NamesIn(input);
  std::vector<std::pair<std::string, std::string>> sane;
  for (const auto& nk : names)
    if (SaneName(nk.first) && SaneName(nk.second)) sane.push_back(nk);
  static const std::pair<std::string_view, std::string_view> kKnown[] = {
      {"system", "title"},       {"system", "autoRun"},        {"SYSTEM", "repeaturl"},
      {"fileType", "hwnd"},      {"FileType", "uppath"},       {"FileType", texts::kCatVideo},
      {"FileType", texts::kCatCustom}, {"Quelvar", "k"},      {"a.b", "x-y"},
  };
  const std::uint8_t b0 = size > 0 ? data[0] : 0, b1 = size > 1 ? data[1] : 0, b2 = size > 2 ? data[2] : 0;
  std::string section, key;
  if ((b0 & 1) && !sane.empty()) {
    section = sane[(b0 >> 1) % sane.size()].first;
    key = sane[(b0 >> 1) % sane.size()].second;
  } else {
    const auto& k = kKnown[(b0 >> 1) % std::size(kKnown)];
    section = k.first;
    key = k.second;
  }
  // The value: any bytes of the input, long enough at times to pass the 2047-byte cut.
  const std::size_t from = size ? b1 % size : 0;
  const std::string value(input.substr(from, (std::size_t{b2} * 17) % 4200));

  // Every other key as it reads now.
  std::vector<std::string> before;
  for (const auto& nk : names) before.push_back(store.ReadString(nk.first, nk.second, kAbsent));

  store.WriteString(section, key, value);
  const std::string after = ReadFile(path);
  CHECK(store.ReadString(section, key, kAbsent) == AsRead(value));

  for (std::size_t i = 0; i < names.size(); ++i) {
    if (SameAsciiFold(names[i].first, section) && SameAsciiFold(names[i].second, key)) continue;
    CHECK(store.ReadString(names[i].first, names[i].second, kAbsent) == before[i]);
  }

  // Other lines: the old lines all stand in the new file in their order, but for at most one (the
  // key's own line, replaced), and at most two lines were added (a section header and the key).
  const auto oldLines = Lines(input), newLines = Lines(after);
  std::size_t prefix = 0;
  while (prefix < oldLines.size() && prefix < newLines.size() && oldLines[prefix] == newLines[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < oldLines.size() - prefix && suffix < newLines.size() - prefix &&
         oldLines[oldLines.size() - 1 - suffix] == newLines[newLines.size() - 1 - suffix])
    ++suffix;
  const std::size_t removed = oldLines.size() - prefix - suffix;
  const std::size_t added = newLines.size() - prefix - suffix;
  if (newLines.size() == oldLines.size()) {
    CHECK(removed <= 1);
  } else {
    CHECK(newLines.size() > oldLines.size() && newLines.size() <= oldLines.size() + 2);
    CHECK(removed == 0 && added <= 2);
  }

  // Integers and flags go back as written.
  const int number = static_cast<int>(static_cast<std::uint32_t>(b0) << 24 | static_cast<std::uint32_t>(b1) << 8 | b2);
  store.WriteInteger(section, key, number);
  CHECK(store.ReadInteger(section, key, number ^ 1) == number);
  store.WriteBool(section, key, b2 & 1);
  CHECK(store.ReadBool(section, key, !(b2 & 1)) == static_cast<bool>(b2 & 1));
  return 0;
}
