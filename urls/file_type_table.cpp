#include "urls/file_type_table.h"

#include <utility>

#include "common/bytes.h"
#include "common/texts.h"

namespace qv {

namespace {

constexpr std::string_view kCategoryNames[kCategoryCount] = {
    texts::kCatVideo, texts::kCatAudio, texts::kCatPicture, texts::kCatText, texts::kCatCustom};

bool ValidCategory(int category) { return category >= 0 && category < kCategoryCount; }

// The stored text with its ASCII letters lowered equals `lower`.
bool LoweredEquals(std::string_view stored, std::string_view lower) {
  if (stored.size() != lower.size()) return false;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (LowerByte(stored[i]) != lower[i]) return false;
  }
  return true;
}

// Blanks and control characters separate items of an extension list.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

std::string_view CategoryName(int category) {
  return ValidCategory(category) ? kCategoryNames[category] : std::string_view();
}

FileTypeSnapshot::FileTypeSnapshot() = default;

bool FileTypeSnapshot::CategoryChecked(int category) const {
  if (!ValidCategory(category)) return false;
  for (const FileTypeEntry& e : entries_[category]) {
    if (e.checked) return true;
  }
  return false;
}

std::optional<FileTypeNode> FileTypeSnapshot::FindChild(std::string_view lowerText) const {
  for (int c = 0; c < kCategoryCount; ++c) {
    if (LoweredEquals(kCategoryNames[c], lowerText)) return FileTypeNode{c, -1};
    const auto& list = entries_[c];
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (LoweredEquals(list[i].text, lowerText)) return FileTypeNode{c, static_cast<int>(i)};
    }
  }
  return std::nullopt;
}

bool FileTypeSnapshot::IsNodeChecked(FileTypeNode node) const {
  if (!ValidCategory(node.category)) return false;
  if (node.IsCategory()) return CategoryChecked(node.category);
  const auto& list = entries_[node.category];
  return static_cast<std::size_t>(node.entry) < list.size() && list[node.entry].checked;
}

std::string_view FileTypeSnapshot::NodeText(FileTypeNode node) const {
  if (!ValidCategory(node.category)) return {};
  if (node.IsCategory()) return kCategoryNames[node.category];
  const auto& list = entries_[node.category];
  if (static_cast<std::size_t>(node.entry) >= list.size()) return {};
  return list[node.entry].text;
}

FileTypeSnapshot FileTypeSnapshot::WithEntry(int category, std::string text, bool checked) const {
  FileTypeSnapshot next = *this;
  if (ValidCategory(category)) next.entries_[category].push_back(FileTypeEntry{std::move(text), checked});
  return next;
}

FileTypeSnapshot FileTypeSnapshot::WithoutEntry(FileTypeNode node) const {
  FileTypeSnapshot next = *this;
  // Categories are fixed; only entries can go.
  if (ValidCategory(node.category) && !node.IsCategory()) {
    auto& list = next.entries_[node.category];
    if (static_cast<std::size_t>(node.entry) < list.size()) list.erase(list.begin() + node.entry);
  }
  return next;
}

FileTypeSnapshot FileTypeSnapshot::WithChecked(FileTypeNode node, bool checked) const {
  FileTypeSnapshot next = *this;
  if (!ValidCategory(node.category)) return next;
  auto& list = next.entries_[node.category];
  if (node.IsCategory()) {
    for (FileTypeEntry& e : list) e.checked = checked;
  } else if (static_cast<std::size_t>(node.entry) < list.size()) {
    list[node.entry].checked = checked;
  }
  return next;
}

FileTypeSnapshot FileTypeSnapshot::WithUndefinedTypes(bool on) const {
  FileTypeSnapshot next = *this;
  next.undefinedTypes = on;
  return next;
}

FileTypeSnapshot FileTypeSnapshot::WithDuplicates(bool on) const {
  FileTypeSnapshot next = *this;
  next.duplicates = on;
  return next;
}

FileTypeSnapshot FileTypeSnapshot::WithHttpsHosts(bool on) const {
  FileTypeSnapshot next = *this;
  next.httpsHosts = on;
  return next;
}

std::vector<FileTypeEntry> ParseExtensionList(std::string_view value) {
  // Split into items.
  std::vector<std::string_view> items;
  const std::size_t n = value.size();
  std::size_t p = 0;
  while (p < n && IsBlank(value[p])) ++p;
  while (p < n) {
    if (value[p] == '"') {
      // Runs to the closing quote (or to the end when there is none); the quotes are not part of it.
      const std::size_t start = p + 1;
      const std::size_t close = value.find('"', start);  // a quote is never a GBK trail byte
      const std::size_t stop = close == npos ? n : close;
      items.push_back(value.substr(start, stop - start));
      p = close == npos ? n : close + 1;
    } else {
      // Ends at "|" or a blank; the trail byte of a double-byte character never ends it.
      const std::size_t start = p;
      while (p < n && !IsBlank(value[p]) && value[p] != '|') {
        p += (IsGbkLead(static_cast<unsigned char>(value[p])) && p + 1 < n) ? 2 : 1;
      }
      items.push_back(value.substr(start, p - start));
    }
    while (p < n && IsBlank(value[p])) ++p;
    if (p < n && value[p] == '|') {
      if (p + 1 == n) items.emplace_back();  // a closing "|" yields one more, empty, item
      ++p;
      while (p < n && IsBlank(value[p])) ++p;
    }
  }

  std::vector<FileTypeEntry> out;
  for (std::string_view item : items) {
    item = TrimView(item);
    if (item.empty()) break;
    FileTypeEntry e;
    e.checked = item[0] == '1';
    const std::string_view ext = item.substr(1);
    if (ext.empty() || ext[0] != '.') e.text = ".";
    e.text.append(ext);
    out.push_back(std::move(e));
  }
  return out;
}

std::string FormatExtensionList(const std::vector<FileTypeEntry>& entries) {
  std::string out;
  for (const FileTypeEntry& e : entries) {
    out += e.checked ? '1' : '0';
    out += e.text;
    out += '|';
  }
  return out;
}

}  // namespace qv
