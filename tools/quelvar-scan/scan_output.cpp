#include "tools/quelvar-scan/scan_output.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "common/bytes.h"
#include "common/codepage.h"
#include "urls/url_list.h"

namespace qv::scan {
namespace {

// A byte that may follow a GBK lead byte as the second byte of one character.
constexpr bool IsGbkTrail(unsigned char b) { return b >= 0x40 && b <= 0xFE && b != 0x7F; }

// Bytes printed as an escape: the backslash and every control byte. Printed raw, a control byte from the
// network could split a row (TAB, CR, LF) or drive the terminal (ESC sequences, BEL, DEL).
constexpr bool NeedsEscape(unsigned char b) { return b < 0x20 || b == 0x7F || b == '\\'; }

void AppendEscape(std::string& line, unsigned char b) {
  switch (b) {
    case '\\': line += "\\\\"; return;
    case '\t': line += "\\t"; return;
    case '\r': line += "\\r"; return;
    case '\n': line += "\\n"; return;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      const char escape[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
      line.append(escape, 4);
    }
  }
}

// Appends s with its escapes; runs of bytes that need none are appended whole. In GBK text a lead byte
// and the trail byte after it are one character, so a backslash there (0x5C is a valid trail byte) is
// part of that character and stays as it is; a control byte is never a trail byte and is escaped
// whatever stands before it.
void AppendEscaped(std::string& line, std::string_view s, bool gbk) {
  std::size_t run = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (gbk && IsGbkLead(b) && i + 1 < s.size() && IsGbkTrail(static_cast<unsigned char>(s[i + 1]))) {
      ++i;
      continue;
    }
    if (!NeedsEscape(b)) continue;
    line.append(s.data() + run, i - run);
    AppendEscape(line, b);
    run = i + 1;
  }
  line.append(s.data() + run, s.size() - run);
}

}  // namespace

void AppendField(std::string& line, std::string_view field, bool raw) {
  if (raw) AppendEscaped(line, field, true);
  else AppendEscaped(line, GbkToUtf8(field), false);
}

void AppendAddressField(std::string& line, std::string_view field, bool raw) {
  if (raw) AppendEscaped(line, field, true);
  else AppendEscaped(line, AddressToUtf8(field), false);
}

void AppendRow(std::string& line, std::initializer_list<std::string_view> fields, std::size_t address, bool raw) {
  std::size_t i = 0;
  for (std::string_view f : fields) {
    if (i != 0) line += '\t';
    if (i == address) AppendAddressField(line, f, raw);
    else AppendField(line, f, raw);
    ++i;
  }
  line += '\n';
}

void PrintList(std::FILE* out, const UrlList& list, OutputKind kind, bool raw) {
  std::string line;
  auto emit = [&](std::initializer_list<std::string_view> fields, std::size_t address) {
    line.clear();
    AppendRow(line, fields, address, raw);
    std::fwrite(line.data(), 1, line.size(), out);
  };
  static const std::string kNone;
  if (kind == OutputKind::CategoryView) {
    for (const auto& r : list.Lv2()) emit({r.caption, r.address, r.data ? r.data->Remote : kNone}, 1);
  } else if (kind == OutputKind::UrlList) {
    for (const auto& r : list.Lv1()) emit({r.caption, r.cells[0], r.cells[1], r.data ? r.data->Remote : kNone}, 2);
  } else {
    for (const auto& r : list.Lv1())
      emit({r.caption, r.cells[0], r.cells[1], r.cells[2], r.data ? r.data->Remote : kNone}, 2);
  }
}

OutputState StateOf(std::FILE* out, int error) {
  if (!std::ferror(out)) return OutputState::Fine;
  return error == EPIPE ? OutputState::ReaderGone : OutputState::Failed;
}

bool PacketRowWriter::Write(std::string_view caption, Direction dir, std::string_view payload,
                            std::string_view length, std::string_view remote) {
  if (state_ != OutputState::Fine) return false;
  line_.clear();
  // The fields of a packet row of the list: caption, direction, payload, length, remote text.
  AppendRow(line_, {caption, DirectionLabel(dir), payload, length, remote}, 2, raw_);
  if (std::fwrite(line_.data(), 1, line_.size(), out_) == line_.size()) return true;
  error_ = errno;
  state_ = StateOf(out_, error_);
  if (state_ == OutputState::Fine) state_ = OutputState::Failed;  // a short write without the error flag
  return false;
}

OutputFlusher::OutputFlusher(std::FILE* out, std::chrono::milliseconds interval, std::function<void()> stop)
    : out_(out), interval_(interval), stop_(std::move(stop)) {
  // The thread starts with every signal blocked, and this thread's mask is put back.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  thread_ = std::thread([this] { Run(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void OutputFlusher::Finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void OutputFlusher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, interval_, [this] { return ending_; })) {
    lock.unlock();  // a flush may wait for a slow reader: the destructor must not wait for the lock meanwhile
    OutputState state = OutputState::Fine;
    int error = 0;
    if (std::fflush(out_) != 0) {
      error = errno;
      state = StateOf(out_, error);
      if (state == OutputState::Fine) state = OutputState::Failed;
    } else {
      // A pipe whose reader has gone reports an error on its writing end: no row needs to come first.
      pollfd p{::fileno(out_), 0, 0};
      if (::poll(&p, 1, 0) == 1 && (p.revents & POLLERR)) state = OutputState::ReaderGone, error = EPIPE;
    }
    if (state != OutputState::Fine) {
      error_ = error;
      state_ = state;
      stop_();
      return;
    }
    lock.lock();
  }
}

}  // namespace qv::scan
