// The browser's key log (SSLKEYLOGFILE, the NSS key log format): one or more files, read from the start
// and then followed as they grow. A file that shrinks or is replaced (another inode) is read again from
// its start. Lines name a label, the ClientHello random (64 hex digits) and a secret (hex); the labels
// CLIENT_RANDOM, CLIENT_HANDSHAKE_TRAFFIC_SECRET, SERVER_HANDSHAKE_TRAFFIC_SECRET,
// CLIENT_TRAFFIC_SECRET_0 and SERVER_TRAFFIC_SECRET_0 are kept, other labels are passed over, lines that
// cannot be read are skipped and counted. A line longer than 1 KB, or a file larger than 64 MB, is
// refused with a message. At most kMaxRandoms connections' secrets are kept (the oldest go first).
//
// Not thread-safe: one thread (the capture thread) reads and looks up. Find polls the files again on a
// miss, at most once every kPollInterval, so that keys written after the capture started are found.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tls/secrets.h"

namespace qv::tls {

class KeyLog : public SecretLookup {
 public:
  static constexpr std::size_t kMaxLineBytes = 1024;
  static constexpr std::uint64_t kMaxFileBytes = 64ull << 20;
  static constexpr std::size_t kMaxRandoms = 1u << 18;
  static constexpr std::chrono::milliseconds kPollInterval{200};

  using MessageSink = std::function<void(const std::string&)>;

  KeyLog() = default;
  // The files to read (their order does not matter); reading starts at the next Poll.
  void SetFiles(std::vector<std::string> paths);
  // Where messages about refused files and lines go (one line each, no newline). None by default.
  void SetMessageSink(MessageSink sink) { messages_ = std::move(sink); }

  // Reads what was appended to each file since the last poll.
  void Poll() const;
  // Poll unless the last one was less than kPollInterval ago.
  void PollIfDue() const;

  bool Find(SecretKind kind, const ClientRandom& random, std::string& secret) const override;

  std::uint64_t BadLines() const { return badLines_; }
  std::size_t RandomCount() const { return entries_.size(); }

  // Reads the lines of `text` as a file's contents (for tests and the fuzzer).
  void AddText(const std::string& text) const;

 private:
  struct FileState {
    std::string path;
    std::uint64_t device = 0, inode = 0;
    std::uint64_t offset = 0;
    bool known = false;     // stat'ed and read at least once
    bool refused = false;   // over the size limit: refused until it changes identity or shrinks
    bool reported = false;  // a message about its being missing or unreadable was given
    std::string partial;    // the start of a line whose end has not been written yet
    bool skipping = false;  // within an over-long line: skip to its end
  };
  struct Entry {
    std::string secrets[5];
  };
  struct RandomHash {
    std::size_t operator()(const ClientRandom& r) const;
  };

  void ReadFile(FileState& f) const;
  void Line(const char* p, std::size_t n) const;
  void Message(const std::string& text) const;

  // Lookups poll: the state read from the files is kept as mutable members.
  mutable std::vector<FileState> files_;
  mutable std::unordered_map<ClientRandom, Entry, RandomHash> entries_;
  mutable std::deque<ClientRandom> order_;  // oldest first
  mutable std::uint64_t badLines_ = 0;
  mutable std::chrono::steady_clock::time_point lastPoll_{};
  mutable bool polled_ = false;
  MessageSink messages_;
};

}  // namespace qv::tls
