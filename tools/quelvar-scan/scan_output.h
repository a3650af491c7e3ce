// Printing the lists: one line per row, TAB between fields, LF at the end.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/lvdata.h"

namespace qv {
class UrlList;
}

namespace qv::scan {

enum class OutputKind { UrlList, CategoryView, PacketList };

// Backslash, TAB, CR and LF are escaped as \\, \t, \r and \n, every other control byte (0x00-0x1F, 0x7F)
// as \xHH, so that a row is one line of tab-separated fields and nothing reaches a terminal raw. In raw
// mode the field is GBK and a backslash that is the trail byte of a double-byte character stays as it
// is; otherwise the field is first converted to UTF-8.
void AppendField(std::string& line, std::string_view field, bool raw);

// The same for the field the window shows as its address column (the address of the URL list and the
// category view, the payload of the packet list). Its bytes are printed as UTF-8 text when they are
// valid UTF-8 with a multi-byte sequence, as the window shows them (today's percent-escaped names
// decode to that); otherwise as AppendField. Raw output is the list's bytes either way.
void AppendAddressField(std::string& line, std::string_view field, bool raw);

// One row: the fields with TAB between them and LF at the end; `address` is the index of the field the
// window shows as its address column.
void AppendRow(std::string& line, std::initializer_list<std::string_view> fields, std::size_t address, bool raw);

void PrintList(std::FILE* out, const UrlList& list, OutputKind kind, bool raw);

// What became of the output: written, the reader went away (a closed pipe, as under `| head`), or
// another write error (a full disk, a closed descriptor).
enum class OutputState { Fine, ReaderGone, Failed };

// The state of `out` after writes to it; `error` the errno of a failed write (0 when none is known).
OutputState StateOf(std::FILE* out, int error);

// The packet list written as it is made: each row goes to `out` as soon as it comes, as PrintList
// writes a row of the list, and nothing of it is kept. Only the thread that reads the capture writes.
class PacketRowWriter {
 public:
  PacketRowWriter(std::FILE* out, bool raw) : out_(out), raw_(raw) {}
  // Writes one row; false once the output takes no more (then the capture should stop).
  bool Write(std::string_view caption, Direction dir, std::string_view payload, std::string_view length,
             std::string_view remote);
  OutputState State() const { return state_; }
  int Error() const { return error_; }

 private:
  std::FILE* out_;
  bool raw_;
  std::string line_;
  OutputState state_ = OutputState::Fine;
  int error_ = 0;
};

// Flushes `out` every `interval` on a thread of its own while it lives, so that rows reach a pipe
// while a slow capture runs, and watches the descriptor: a pipe whose reader has gone is seen at the
// next tick even when no row comes. On the first failure `stop` is called once, on that thread. The
// thread blocks every signal: they keep going to the thread that reads the capture.
class OutputFlusher {
 public:
  OutputFlusher(std::FILE* out, std::chrono::milliseconds interval, std::function<void()> stop);
  ~OutputFlusher() { Finish(); }
  // Ends the thread and waits for it. No flush after this one.
  void Finish();
  OutputFlusher(const OutputFlusher&) = delete;
  OutputFlusher& operator=(const OutputFlusher&) = delete;
  // Why the flusher stopped the capture, Fine while it has not; final after Finish.
  OutputState State() const { return state_.load(); }
  int Error() const { return error_.load(); }

 private:
  void Run();

  std::FILE* out_;
  std::chrono::milliseconds interval_;
  std::function<void()> stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ending_ = false;
  std::atomic<OutputState> state_{OutputState::Fine};
  std::atomic<int> error_{0};
  std::thread thread_;
};

}  // namespace qv::scan
