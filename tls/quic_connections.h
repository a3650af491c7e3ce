// HTTP/3 requests read from QUIC version 1 connections with the client's key log secrets. The client
// is the sender of a client Initial whose CRYPTO frames carry a ClientHello offering "h3"; its random
// finds CLIENT_TRAFFIC_SECRET_0. The cipher suite comes from the ServerHello in the server's Initial
// packets (protected with keys every observer derives). The client's 1-RTT packets are then decrypted
// (header protection, packet numbers, key updates) and their STREAM frames handed to H3Requests.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tls/https_request.h"
#include "tls/secrets.h"

namespace qv::tls {

struct UdpEndpoints {
  bool v6 = false;
  std::array<std::uint8_t, 16> src{}, dst{};  // IPv4 in the first 4 bytes
  std::uint16_t sport = 0, dport = 0;
};

class QuicConnections {
 public:
  static constexpr std::size_t kMaxConnections = 1024;
  static constexpr std::size_t kMaxHeldBytes = 256 * 1024;  // 1-RTT packets held per connection for its key
  static constexpr double kMaxHeldSeconds = 5.0;
  static constexpr std::size_t kMaxTotalBytes = 64 * 1024 * 1024;  // held by all connections together
  static constexpr double kIdleSeconds = 600.0;  // a connection silent this long is let go

  explicit QuicConnections(const SecretLookup& secrets);
  ~QuicConnections();
  QuicConnections(const QuicConnections&) = delete;
  QuicConnections& operator=(const QuicConnections&) = delete;

  // One UDP datagram's payload, either direction; `seconds` is the frame's capture time. Requests read
  // from the client's 1-RTT packets are appended to `out` in order; they all belong to this datagram's
  // connection, whose server is the datagram's destination.
  void Datagram(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n, double seconds,
                std::vector<HttpsRequest>& out);
  // Connections (client Initial with a ClientHello seen), decrypted (a 1-RTT packet verified, or the
  // key known and no 1-RTT packet yet), without keys, failed (the key known, 1-RTT packets seen and
  // none verified).
  HttpsCounts Counts() const;
  // Connections let go to keep within kMaxConnections / kMaxTotalBytes.
  std::uint64_t DroppedConnections() const { return dropped_; }
  // 1-RTT packets let go while waiting for a key (over 256 KB or 5 s).
  std::uint64_t DroppedHeldPackets() const { return droppedHeld_; }
  void Clear();

 private:
  struct Connection;

  Connection* ClientConnection(const UdpEndpoints& e);
  Connection* ServerConnection(const UdpEndpoints& e);
  void LongHeader(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n, double seconds, std::size_t& used);
  void ClientInitial(const UdpEndpoints& e, const std::string& dcid, const std::vector<std::uint8_t>& plain,
                     double seconds);
  void ServerInitial(Connection& c, const std::vector<std::uint8_t>& plain);
  void ShortHeader(Connection& c, const std::uint8_t* p, std::size_t n, double seconds,
                   std::vector<HttpsRequest>& out);
  bool LoadKey(Connection& c);
  // `trial`: a packet that may not be this connection's (a new path); its failure is not counted.
  bool Decrypt(Connection& c, const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out,
               bool trial = false);
  Connection* Migrated(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n, double seconds,
                       std::vector<HttpsRequest>& out);
  void Frames(Connection& c, const std::vector<std::uint8_t>& plain, std::vector<HttpsRequest>& out);
  void Retire(const std::string& key);
  void Classify(const Connection& c, HttpsCounts& counts) const;
  void Bound(double seconds);
  void Recount(Connection& c);

  const SecretLookup& secrets_;
  std::unordered_map<std::string, std::unique_ptr<Connection>> connections_;  // by client and server endpoints
  std::map<std::uint64_t, std::string> byAge_;                               // creation order -> key
  std::unordered_map<std::string, std::string> byCid_;                       // server's connection IDs -> key
  std::unordered_map<std::string, std::string> paths_;  // endpoints a client moved to -> key
  std::unordered_map<std::string, std::size_t> servers_;  // server endpoints -> connections with it
  std::unordered_map<std::string, unsigned> strangers_;  // endpoints tried as a new path, with the tries
  std::uint32_t cidLengths_ = 0;  // bit k: a connection ID of k bytes is in byCid_
  std::uint64_t nextOrder_ = 0;
  std::size_t totalBytes_ = 0;
  double lastSweep_ = 0;
  HttpsCounts retired_;
  std::uint64_t dropped_ = 0;
  std::uint64_t droppedHeld_ = 0;
};

}  // namespace qv::tls
