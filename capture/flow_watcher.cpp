#include "capture/flow_watcher.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "urls/client_hello.h"
#include "urls/quic_initial.h"

namespace qv {
namespace {

// Serial-number order of TCP sequence numbers: a comes before b.
bool SeqBefore(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

enum class HeadState { NeedMore, HasHost, EndedWithoutHost };

// An HTTP request head: is its Host line complete (the request-line rules can then build the
// address), has it ended without one, or can more bytes still bring it?
HeadState StateOfHead(std::string_view head) {
  const std::size_t host = head.find("Host:");
  if (host != std::string_view::npos && head.find('\r', host) != std::string_view::npos) return HeadState::HasHost;
  if (head.find("\r\n\r\n") != std::string_view::npos) return HeadState::EndedWithoutHost;
  return HeadState::NeedMore;
}

bool StartsRequest(const std::uint8_t* p, std::size_t n) {
  return (n >= 4 && std::memcmp(p, "GET ", 4) == 0) || (n >= 5 && std::memcmp(p, "POST ", 5) == 0);
}

}  // namespace

FlowKey FlowKey::Make(int protocol, bool v6, const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t sport,
                      std::uint16_t dport) {
  FlowKey k;
  k.bytes[0] = static_cast<std::uint8_t>(protocol);
  k.bytes[1] = v6 ? 6 : 4;
  std::memcpy(k.bytes.data() + 2, src, v6 ? 16 : 4);
  std::memcpy(k.bytes.data() + 18, dst, v6 ? 16 : 4);
  k.bytes[34] = static_cast<std::uint8_t>(sport >> 8);
  k.bytes[35] = static_cast<std::uint8_t>(sport);
  k.bytes[36] = static_cast<std::uint8_t>(dport >> 8);
  k.bytes[37] = static_cast<std::uint8_t>(dport);
  return k;
}

std::size_t FlowWatcher::KeyHash::operator()(const FlowKey& k) const {
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(k.bytes.data()), k.bytes.size()));
}

void FlowWatcher::Clear() {
  flows_.clear();
  index_.clear();
  bytesHeld_ = 0;
  tcpHeads_ = 0;
}


FlowWatcher::FlowList::iterator FlowWatcher::Add(const FlowKey& key, Kind kind) {
  if (flows_.size() >= kMaxFlows) Erase(flows_.begin());
  flows_.push_back(Flow{});
  const auto it = std::prev(flows_.end());
  it->key = key;
  it->kind = kind;
  if (kind == Kind::Request || kind == Kind::Hello) ++tcpHeads_;
  index_[key] = it;
  return it;
}

void FlowWatcher::Erase(FlowList::iterator it) {
  if (it->kind == Kind::Request || it->kind == Kind::Hello) --tcpHeads_;
  bytesHeld_ -= it->bytes.size();
  index_.erase(it->key);
  flows_.erase(it);
}

void FlowWatcher::Grow(Flow& flow, std::size_t oldSize) {
  bytesHeld_ += flow.bytes.size() - oldSize;
  while (bytesHeld_ > kMaxTotalBytes && &flows_.front() != &flow) Erase(flows_.begin());
}

void FlowWatcher::TcpSegment(const FlowKey& key, std::uint32_t seq, const std::uint8_t* p, std::size_t n,
                             bool requests, bool serverNames, std::vector<FlowFind>& found) {
  if (n == 0) return;
  if (!index_.empty()) {
    const auto at = index_.find(key);
    if (at != index_.end()) {
      const auto it = at->second;
      if (seq == it->nextSeq) {
        const std::size_t old = it->bytes.size();
        it->bytes.append(reinterpret_cast<const char*>(p), n);
        it->nextSeq += static_cast<std::uint32_t>(n);
        Grow(*it, old);
        EvaluateTcp(it, found);
        return;
      }
      if (SeqBefore(seq, it->nextSeq)) return;  // sent again: already held
      Erase(it);                                 // a gap: this head cannot be completed
    }
  }
  StartTcp(key, seq, p, n, requests, serverNames, found);
}

void FlowWatcher::StartTcp(const FlowKey& key, std::uint32_t seq, const std::uint8_t* p, std::size_t n,
                           bool requests, bool serverNames, std::vector<FlowFind>& found) {
  Kind kind;
  if (serverNames && LooksLikeClientHello(p, n)) {
    std::string name;
    const HelloResult r = ReadTlsClientHello(p, n, name);
    if (r == HelloResult::ServerName) found.push_back({FlowFind::Kind::ServerName, std::move(name)});
    if (r != HelloResult::NeedMore) return;
    kind = Kind::Hello;
  } else if (requests && StartsRequest(p, n)) {
    // A head that this segment completes is handled by the per-segment rules alone.
    if (StateOfHead(std::string_view(reinterpret_cast<const char*>(p), n)) != HeadState::NeedMore) return;
    kind = Kind::Request;
  } else {
    return;
  }
  if (n >= kMaxHeadBytes) return;
  const auto it = Add(key, kind);
  it->bytes.assign(reinterpret_cast<const char*>(p), n);
  it->nextSeq = seq + static_cast<std::uint32_t>(n);
  Grow(*it, 0);
}

void FlowWatcher::EvaluateTcp(FlowList::iterator it, std::vector<FlowFind>& found) {
  Flow& flow = *it;
  if (flow.kind == Kind::Hello) {
    std::string name;
    const HelloResult r =
        ReadTlsClientHello(reinterpret_cast<const std::uint8_t*>(flow.bytes.data()), flow.bytes.size(), name);
    if (r == HelloResult::ServerName) found.push_back({FlowFind::Kind::ServerName, std::move(name)});
    if (r != HelloResult::NeedMore || flow.bytes.size() >= kMaxHeadBytes) Erase(it);
    return;
  }
  const std::string_view head(flow.bytes);
  switch (StateOfHead(head)) {
    case HeadState::HasHost: {
      // The head up to its end (the body, if any has come, is not part of it).
      const std::size_t end = head.find("\r\n\r\n");
      found.push_back({FlowFind::Kind::JoinedRequest,
                       std::string(end == std::string_view::npos ? head : head.substr(0, end + 4))});
      Erase(it);
      return;
    }
    case HeadState::EndedWithoutHost:
      Erase(it);
      return;
    case HeadState::NeedMore:
      if (flow.bytes.size() >= kMaxHeadBytes) Erase(it);
      return;
  }
}

void FlowWatcher::UdpDatagram(const FlowKey& key, const std::uint8_t* p, std::size_t n, std::vector<FlowFind>& found) {
  if (!LooksLikeQuicInitial(p, n)) return;
  for (QuicInitialPacket& packet : ReadQuicInitials(p, n)) {
    FlowList::iterator it;
    const auto at = index_.find(key);
    if (at != index_.end() && at->second->dcid == packet.dcid &&
        (at->second->kind == Kind::Quic || at->second->kind == Kind::QuicDone)) {
      it = at->second;
      if (it->kind == Kind::QuicDone) continue;  // its name has been listed, or it has none
    } else {
      if (at != index_.end()) Erase(at->second);  // a new connection on the same addresses and ports
      it = Add(key, Kind::Quic);
      it->dcid = packet.dcid;
    }
    for (const QuicCryptoFrame& frame : packet.crypto) AddCrypto(*it, frame.offset, frame.data);
    // The stream as far as it runs without a hole.
    const std::size_t prefix =
        !it->ranges.empty() && it->ranges.front().first == 0 ? static_cast<std::size_t>(it->ranges.front().second) : 0;
    if (prefix == 0) continue;
    std::string name;
    const HelloResult r =
        ReadClientHelloMessage(reinterpret_cast<const std::uint8_t*>(it->bytes.data()), prefix, name);
    if (r == HelloResult::ServerName) found.push_back({FlowFind::Kind::ServerName, std::move(name)});
    if (r != HelloResult::NeedMore || prefix >= kMaxHeadBytes) {
      it->kind = Kind::QuicDone;
      bytesHeld_ -= it->bytes.size();
      std::string().swap(it->bytes);
      it->ranges.clear();
    }
  }
}

void FlowWatcher::AddCrypto(Flow& flow, std::uint64_t offset, const std::string& data) {
  if (offset >= kMaxHeadBytes || data.empty()) return;
  const std::size_t start = static_cast<std::size_t>(offset);
  const std::size_t end = std::min<std::size_t>(kMaxHeadBytes, start + data.size());
  const std::size_t old = flow.bytes.size();
  if (flow.bytes.size() < end) flow.bytes.resize(end, '\0');
  std::memcpy(flow.bytes.data() + start, data.data(), end - start);
  // Merge [start, end) into the sorted, disjoint list of received ranges.
  auto& r = flow.ranges;
  r.emplace_back(start, end);
  std::sort(r.begin(), r.end());
  std::size_t w = 0;
  for (std::size_t i = 1; i < r.size(); ++i) {
    if (r[i].first <= r[w].second) r[w].second = std::max(r[w].second, r[i].second);
    else r[++w] = r[i];
  }
  r.resize(w + 1);
  Grow(flow, old);
}

}  // namespace qv
