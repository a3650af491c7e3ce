// The download folder and the files written in it, without Qt. Every file is reached through the
// folder's descriptor by a plain name (never a path), created exclusively and without following links,
// and made final by a rename that never replaces anything, so that neither the request path nor a
// link placed in the folder can make a download write elsewhere or over another file.
//
// A download is written to "<name>.part" and becomes "<name>" only when it is complete. The partial file
// carries the address it belongs to (and the server's validator, ETag or Last-Modified) in extended
// attributes; a later download of the same address continues it. While a download writes, its partial
// file is locked (flock), so that a second downloader does not take it.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dorrinel {

class PartFile {
 public:
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  const std::string& name() const { return name_; }  // the final name, without ".part"
  std::uint64_t size() const { return size_; }
  // Appends; false with errno set when not everything could be written (ENOSPC, ...).
  bool Write(const char* data, std::size_t n);
  // Empties the file, to write the whole file from its start.
  bool Truncate();
  // The server's validator of the content, sent again as If-Range when the download continues.
  void SetValidator(const std::string& validator);
  std::string Validator() const;
  bool Sync();

 private:
  friend class DownloadFolder;
  PartFile(int fd, std::string name, std::uint64_t size) : fd_(fd), name_(std::move(name)), size_(size) {}
  int fd_;
  std::string name_;
  std::uint64_t size_;
};

class DownloadFolder {
 public:
  // Creates the folder (with its parents) when missing and opens it. Nothing and `error` set when that
  // fails.
  static std::unique_ptr<DownloadFolder> Open(const std::string& path, std::string& error);
  ~DownloadFolder();
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;

  const std::string& path() const { return path_; }

  // Where a download of `url` named `wanted` goes: the first of wanted, wanted(1), wanted(2), ... whose
  // name and partial file are both free, or, before it, one whose partial file belongs to `url`, is
  // not in use and has no final file beside it (resume = true). An empty name when no name up to
  // (9999) is free.
  struct Placement {
    std::string name;
    bool resume = false;
  };
  Placement Place(const std::string& wanted, const std::string& url) const;

  // A new partial file for `name`, tied to `url`.
  std::unique_ptr<PartFile> CreatePart(const std::string& name, const std::string& url, std::string& error);
  // The partial file of `name` left by an earlier download, to be continued at its end. Refused when it
  // is not a regular file of its own (a link, or a file with another name elsewhere).
  std::unique_ptr<PartFile> OpenPart(const std::string& name, std::string& error);
  // Makes the partial file final under its name, or under the next free numbered name when that has
  // been taken meanwhile; `finalName` tells which. Nothing is ever replaced.
  bool Publish(PartFile& part, std::string& finalName, std::string& error);
  // Removes the partial file.
  void Discard(PartFile& part);
  // Ends a download that is to be kept: syncs the partial file and publishes it. The full path of the
  // final file; nothing when either step fails (`error` says why when Publish failed), and the
  // partial file is then removed.
  std::optional<std::string> Finish(std::unique_ptr<PartFile> part, std::string& error);

  // Bytes that may still be written on the folder's file system.
  std::optional<std::uint64_t> FreeBytes() const;

  // Whether something (a file, a folder, a link, dangling or not) has this name in the folder.
  bool Exists(const std::string& name) const;

 private:
  DownloadFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace dorrinel
