// The file-type table (five fixed categories, each with its extension entries) and the two listing
// switches. A FileTypeSnapshot is immutable: every edit makes a new one, and FileTypeState hands the
// current one to any thread, so classification always sees a whole table.
#pragma once
#include <array>
#include <memory>
#include <mutex>

#include "common/locked_value.h"
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr int kCategoryCount = 5;
// Category texts (GBK) in tree order; each is also its key in section "FileType".
std::string_view CategoryName(int category);

struct FileTypeEntry {
  std::string text;  // normally begins with "."; keeps the case it was typed or stored in
  bool checked = false;
};

// A node of the two-level tree: a category (entry < 0) or one of its entries.
struct FileTypeNode {
  int category = 0;
  int entry = -1;
  bool IsCategory() const { return entry < 0; }
};

class FileTypeSnapshot {
 public:
  FileTypeSnapshot();  // five empty categories, both switches off

  const std::vector<FileTypeEntry>& Entries(int category) const { return entries_[category]; }
  // A category's mark: checked when at least one of its entries is.
  bool CategoryChecked(int category) const;

  // First node in tree order, categories included, whose text with ASCII letters lowered equals
  // `lowerText`.
  std::optional<FileTypeNode> FindChild(std::string_view lowerText) const;
  bool IsNodeChecked(FileTypeNode node) const;
  std::string_view NodeText(FileTypeNode node) const;
  // The text of an entry's parent.
  std::string_view CategoryOf(FileTypeNode node) const { return CategoryName(node.category); }

  bool undefinedTypes = false;  // list addresses of no known type as "未定义"
  bool duplicates = false;      // an address may be listed again
  bool httpsHosts = false;      // list the server name of every TLS ClientHello as https://NAME/

  // Edits return a changed copy.
  FileTypeSnapshot WithEntry(int category, std::string text, bool checked) const;
  FileTypeSnapshot WithoutEntry(FileTypeNode node) const;
  FileTypeSnapshot WithChecked(FileTypeNode node, bool checked) const;  // a category node sets all its entries
  FileTypeSnapshot WithUndefinedTypes(bool on) const;
  FileTypeSnapshot WithDuplicates(bool on) const;
  FileTypeSnapshot WithHttpsHosts(bool on) const;

 private:
  std::array<std::vector<FileTypeEntry>, kCategoryCount> entries_;
};

using FileTypeSnapshotPtr = std::shared_ptr<const FileTypeSnapshot>;

// The live table: the user-interface thread replaces it, any thread reads it.
class FileTypeState {
 public:
  FileTypeState() : current_(std::make_shared<const FileTypeSnapshot>()) {}
  FileTypeSnapshotPtr Current() const { return current_.Get(); }
  void Replace(FileTypeSnapshot next) { current_.Set(std::make_shared<const FileTypeSnapshot>(std::move(next))); }
  // Brings a reader's copy up to date, taking the lock only after an edit (`seen` starts at 0).
  void Refresh(FileTypeSnapshotPtr& copy, unsigned& seen) const { current_.Refresh(copy, seen); }

 private:
  VersionedValue<FileTypeSnapshotPtr> current_;
};

// Extension lists as stored in the settings file: "1.jpg|0.gif|".
std::vector<FileTypeEntry> ParseExtensionList(std::string_view value);
std::string FormatExtensionList(const std::vector<FileTypeEntry>& entries);

}  // namespace qv
