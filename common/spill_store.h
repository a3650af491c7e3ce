// SpillStore: an append-only file of byte records that keeps bulky row data (the payload texts of
// packet rows) out of memory. The file has no name (O_TMPFILE, or a name removed as soon as it is
// made), so nothing is left behind when the program ends, crashes included.
//
// One thread may append while others read: an append writes its bytes beyond the committed end and
// only then moves that end forward, so a reader never sees a record that is not wholly written.
// Every read is checked against the committed end. A failed write (disk full, I/O error) leaves the
// store as it was: the append returns nothing, the caller keeps the bytes itself, and Failed() tells
// that it happened (the first error's text is kept).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// Where a record lies in a SpillStore.
struct SpillRef {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

class SpillStore {
 public:
  // A store in `dir`, created if missing. Null when no file can be made there; `error` says why.
  static std::unique_ptr<SpillStore> Open(const std::string& dir, std::string* error = nullptr);
  // The folder a program's store goes to: $XDG_CACHE_HOME/quelvar, else ~/.cache/quelvar, else
  // $TMPDIR, else /tmp.
  static std::string DefaultDir();

  ~SpillStore();
  SpillStore(const SpillStore&) = delete;
  SpillStore& operator=(const SpillStore&) = delete;

  // Appends the concatenation of `a` and `b` as one record. Any thread. Nothing when the write fails
  // or the record would not fit a SpillRef.
  std::optional<SpillRef> Append(std::string_view a, std::string_view b = {});
  // Reads `size` bytes at `offset` into `out` (replacing it). Any thread. False, with `out` empty,
  // when the range is not wholly inside the committed records or the read fails.
  bool Read(std::uint64_t offset, std::size_t size, std::string& out) const;
  bool Read(SpillRef ref, std::string& out) const { return Read(ref.offset, ref.size, out); }

  // Bytes committed so far.
  std::uint64_t Committed() const { return committed_.load(std::memory_order_acquire); }
  // A write has failed since the store was opened; the first failure's text.
  bool Failed() const { return failed_.load(std::memory_order_acquire); }
  std::string FirstError() const;

 private:
  explicit SpillStore(int fd) : fd_(fd) {}
  void NoteFailure(int error);

  const int fd_;
  std::mutex appendMutex_;  // one append at a time; readers never take it
  std::atomic<std::uint64_t> committed_{0};
  std::atomic<bool> failed_{false};
  mutable std::mutex errorMutex_;
  std::string firstError_;
};

}  // namespace qv
