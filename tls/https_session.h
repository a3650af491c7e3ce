// HTTPS read with the browser's key log, for one capture session: the key log files, the TLS connections
// seen over TCP (the client's stream put in order, the server's read up to its ServerHello), their
// decrypted requests, and the counts of connections decrypted, without keys and failed. A connection
// whose key has not been written yet holds its records (256 KB and 5 s of capture time at most) and is
// read once the key appears.
//
// The key log files and the counts may be set and read from any thread; everything else runs on the
// capture thread.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tls/https_request.h"
#include "tls/key_log.h"
#include "tls/quic_connections.h"

namespace qv::tls {

class ClientRecordReader;
class Http2Reader;

// One TCP segment as the capture shows it (payload without link padding).
struct TcpSegmentView {
  bool v6 = false;
  const std::uint8_t* src = nullptr;  // 4 or 16 bytes, network order
  const std::uint8_t* dst = nullptr;
  std::uint16_t sport = 0, dport = 0;
  std::uint32_t seq = 0;
  std::uint8_t flags = 0;  // the TCP flags byte (FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10)
  const std::uint8_t* payload = nullptr;
  std::size_t length = 0;
};

// A decrypted request, ready to be listed: its head as HTTP/1.1 text (an HTTP/1.1 head as sent, an HTTP/2
// or HTTP/3 request already with its absolute target), the scheme of its address and the server's address
// and port (the row's remote).
struct HttpsFind {
  bool v6 = false;
  std::array<std::uint8_t, 16> server{};
  std::uint16_t port = 0;
  std::string scheme;
  std::string head;
  bool absolute = false;  // the head's target is already absolute: it is the row's packet as it stands
};

class HttpsSession {
 public:
  static constexpr std::size_t kMaxConnections = 4096;
  static constexpr std::size_t kMaxTotalBytes = 64u << 20;
  static constexpr double kHoldSeconds = 5.0;
  static constexpr double kIdleSeconds = 120.0;

  HttpsSession();
  ~HttpsSession();
  HttpsSession(const HttpsSession&) = delete;
  HttpsSession& operator=(const HttpsSession&) = delete;

  // --- any thread ---
  // The key log files; none turns reading HTTPS off (nothing is kept, nothing counted).
  void SetKeyLogFiles(std::vector<std::string> paths);
  std::vector<std::string> KeyLogFiles() const;
  bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
  // TLS connections seen, decrypted, without keys (those still waiting for theirs included) and failed;
  // the first is the sum of the others.
  HttpsCounts Counts() const;
  // Connections dropped to stay within the bounds (oldest first); each is still counted above.
  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

  // --- before the capture starts ---
  // Messages about key log files and lines refused (called on the capture thread).
  void SetMessageSink(KeyLog::MessageSink sink);

  // --- capture thread ---
  void StartSession();
  // After the last frame: the counts brought up to date.
  void EndSession();
  // One TCP segment; requests read from it (or from records it released) are appended to `out`.
  void Segment(const TcpSegmentView& s, double seconds, std::vector<HttpsFind>& out);
  // One UDP datagram, either direction: QUIC. Requests read from the client's 1-RTT packets become
  // finds with the server's end of the datagram (its destination, since requests come from the client).
  void Datagram(bool v6, const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t sport, std::uint16_t dport,
                const std::uint8_t* p, std::size_t n, double seconds, std::vector<HttpsFind>& out);
  // A request read by any reader (HTTP/2 here, HTTP/3 over QUIC) as a find.
  static void AddRequest(const HttpsRequest& request, bool v6, const std::uint8_t* server, std::uint16_t port,
                         std::vector<HttpsFind>& out);
  const SecretLookup& Secrets() const { return keys_; }
  std::size_t ConnectionCount() const { return connections_.size(); }
  std::size_t BytesHeld() const { return bytesHeld_; }
  static constexpr std::size_t kSpareReaders = 8;
  std::size_t SpareRecordReaders() const { return spareRecords_.size(); }

 private:
  struct Connection;
  using ConnList = std::list<Connection>;
  struct Key {
    std::array<std::uint8_t, 37> bytes{};
    bool operator==(const Key& o) const { return bytes == o.bytes; }
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const;
  };
  enum class Outcome : unsigned char { Pending, Decrypted, WithoutKeys, Failed };

  static Key MakeKey(bool v6, const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t sport,
                     std::uint16_t dport);
  ConnList::iterator Open(const TcpSegmentView& s, std::uint32_t start);
  void Erase(ConnList::iterator it, bool dropped);
  void Settle(Connection& c, Outcome o);
  void Evaluate(Connection& c, double seconds);
  void Account(Connection& c);
  void Publish();
  void RecountQuic(double seconds, bool now);
  void Sweep(double seconds);
  void RefreshFiles();

  KeyLog keys_;
  QuicConnections quic_{keys_};
  std::vector<HttpsRequest> quicRequests_;  // while a datagram is read
  HttpsCounts quicCounts_;                  // the QUIC reader's, as last counted
  double lastQuicCount_ = 0;
  mutable std::mutex filesMutex_;
  std::vector<std::string> files_;
  std::atomic<unsigned> filesVersion_{0};
  unsigned filesSeen_ = 0;
  std::atomic<bool> enabled_{false};

  // Readers of connections that ended, made new and kept for the next connections (their cipher context,
  // buffers and fields are then not made again); at most kSpareReaders of each kind.
  std::vector<std::unique_ptr<ClientRecordReader>> spareRecords_;
  std::vector<std::unique_ptr<Http2Reader>> spareHttp2_;
  std::unique_ptr<ClientRecordReader> TakeRecordReader(Connection* c);
  std::unique_ptr<Http2Reader> TakeHttp2Reader(Connection* c);

  ConnList connections_;  // oldest first
  std::unordered_map<Key, std::pair<ConnList::iterator, bool>, KeyHash> index_;  // bool: the client's side
  ConnList::iterator recent_ = connections_.end();  // the connection of the last segment (end(): none)
  std::size_t bytesHeld_ = 0;
  std::vector<HttpsFind>* out_ = nullptr;  // while a segment is read
  double lastSweep_ = 0;
  double lastSeconds_ = 0;

  // Counts: kept here, published to the atomics after each segment.
  HttpsCounts counts_;
  std::uint64_t pending_ = 0;
  std::atomic<std::uint64_t> pubConnections_{0}, pubDecrypted_{0}, pubWithoutKeys_{0}, pubFailed_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace qv::tls
