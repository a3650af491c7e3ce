// What a single segment cannot show: an HTTP request whose request line and Host header travel in
// different TCP segments, a TLS ClientHello spread over segments, and the ClientHello inside QUIC
// Initial packets. Keeps the head of each such flow in a bounded table (oldest flow dropped first).
// Runs on the capture thread only.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qv {

// Transport protocol, family, source and destination address (16 bytes each; IPv4 in the first four)
// and ports: one direction of one flow.
struct FlowKey {
  std::array<std::uint8_t, 38> bytes{};
  static FlowKey Make(int protocol, bool v6, const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t sport,
                      std::uint16_t dport);
  bool operator==(const FlowKey& o) const { return bytes == o.bytes; }
};

struct FlowFind {
  enum class Kind : unsigned char { JoinedRequest, ServerName };
  Kind kind = Kind::ServerName;
  std::string text;  // the joined request head, or the server name
};

class FlowWatcher {
 public:
  static constexpr std::size_t kMaxFlows = 4096;
  static constexpr std::size_t kMaxHeadBytes = 16 * 1024;        // per flow
  static constexpr std::size_t kMaxTotalBytes = 16 * 1024 * 1024;  // all flows together

  void Clear();
  // A TCP segment's payload (from the real header lengths, without link padding). `requests`: watch
  // for a request split over segments (outbound flows); `serverNames`: watch for ClientHellos.
  void TcpSegment(const FlowKey& key, std::uint32_t seq, const std::uint8_t* p, std::size_t n, bool requests,
                  bool serverNames, std::vector<FlowFind>& found);
  // A UDP datagram's payload; QUIC version 1 client Initials give their server name.
  void UdpDatagram(const FlowKey& key, const std::uint8_t* p, std::size_t n, std::vector<FlowFind>& found);

  // Whether a TCP payload can matter here: it opens a ClientHello or a request, or some TCP flow's
  // head is being held (cheap; lets most segments pass without a look-up).
  bool MayTakeTcp(const std::uint8_t* p, std::size_t n, bool requests, bool serverNames) const {
    if (tcpHeads_ > 0) return true;
    // A ClientHello's record opens with 0x16, a request with "GET " or "POST ".
    return n > 0 && ((serverNames && p[0] == 0x16) || (requests && (p[0] == 'G' || p[0] == 'P')));
  }

  std::size_t FlowCount() const { return flows_.size(); }
  std::size_t BytesHeld() const { return bytesHeld_; }

 private:
  enum class Kind : unsigned char { Request, Hello, Quic, QuicDone };
  struct Flow {
    FlowKey key;
    Kind kind = Kind::Request;
    std::uint32_t nextSeq = 0;
    std::string bytes;  // TCP: the payload so far; QUIC: the CRYPTO stream, holes zero-filled
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // QUIC: received [start, end), merged
    std::string dcid;
  };
  struct KeyHash {
    std::size_t operator()(const FlowKey& k) const;
  };
  using FlowList = std::list<Flow>;

  void StartTcp(const FlowKey& key, std::uint32_t seq, const std::uint8_t* p, std::size_t n, bool requests,
                bool serverNames, std::vector<FlowFind>& found);
  // After bytes were added; false when the flow is finished and was erased.
  void EvaluateTcp(FlowList::iterator it, std::vector<FlowFind>& found);
  void AddCrypto(Flow& flow, std::uint64_t offset, const std::string& data);
  FlowList::iterator Add(const FlowKey& key, Kind kind);
  void Erase(FlowList::iterator it);
  void Grow(Flow& flow, std::size_t oldSize);  // account for bytes added and keep the table in bounds

  FlowList flows_;  // oldest first
  std::size_t tcpHeads_ = 0;  // flows of kind Request or Hello
  std::unordered_map<FlowKey, FlowList::iterator, KeyHash> index_;
  std::size_t bytesHeld_ = 0;
};

}  // namespace qv
