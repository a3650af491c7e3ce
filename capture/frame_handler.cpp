#include "capture/frame_handler.h"

#include <algorithm>
#include <cstring>

#include "capture/payload_text.h"
#include "capture/protohdr.h"
#include "urls/quic_initial.h"
#include "common/bytes.h"

namespace qv {
namespace {

// Bounds-checked field readers: a field that would lie beyond the frame reads as 0.
class FrameReader {
 public:
  FrameReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Size() const { return size_; }
  std::uint8_t U8(std::size_t at) const { return at < size_ ? data_[at] : 0; }
  std::uint16_t BE16(std::size_t at) const {
    return at + 2 <= size_ ? static_cast<std::uint16_t>(data_[at] << 8 | data_[at + 1]) : 0;
  }
  std::uint32_t BE32(std::size_t at) const {
    return at + 4 <= size_ ? (std::uint32_t{data_[at]} << 24 | std::uint32_t{data_[at + 1]} << 16 |
                              std::uint32_t{data_[at + 2]} << 8 | std::uint32_t{data_[at + 3]})
                           : 0;
  }
  // The `count` bytes from `at`, clipped to the frame.
  const std::uint8_t* Bytes(std::size_t at, std::size_t& count) const {
    if (at >= size_) {
      count = 0;
      return data_;
    }
    count = std::min(count, size_ - at);
    return data_ + at;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

constexpr int kProtoTcp = 6;
constexpr int kProtoUdp = 17;

}  // namespace

FrameHandler::FrameHandler(const FileTypeState& types, FrameSink& sink, LocalAddressProvider localAddresses)
    : types_(types), sink_(sink), provider_(std::move(localAddresses)) {
  localShared_.Refresh(local_, localSeen_);
  filter_.Refresh(filterCopy_, filterSeen_);
}

void FrameHandler::SetAdPage(std::string address) {
  auto pages = pages_.Get();
  pages.first = LowerAscii(address);
  pages_.Set(std::move(pages));
  pagesVersion_.fetch_add(1);
}

void FrameHandler::SetBrowserLocation(std::string address) {
  auto pages = pages_.Get();
  pages.second = LowerAscii(address);
  pages_.Set(std::move(pages));
  pagesVersion_.fetch_add(1);
}

void FrameHandler::SetLocalAddresses(std::vector<std::string> addresses) {
  localShared_.Set(std::make_shared<const LocalAddressSet>(ParseLocalAddresses(addresses)));
}

void FrameHandler::RefreshLocalAddresses() {
  std::vector<std::string> addresses = provider_ ? provider_() : std::vector<std::string>{};
  SetLocalAddresses(addresses);
  localShared_.Refresh(local_, localSeen_);
  sink_.LocalAddressesChanged(addresses);
}

void FrameHandler::StartSession(int linkType) {
  queue_.clear();
  queueDraining_ = false;
  linkType_ = linkType;
  framingUnsettled_ = true;
  framingIndex_ = kFramingUnmatched;
  search_.learnedOffset = -1;
  flows_.Clear();
  if (https_) https_->StartSession();
}

// Whether the IP header that the link header names carries a local source or destination address.
bool FrameHandler::CarriesLocal(const std::uint8_t* frame, std::size_t size, const NetworkHeader& net) const {
  const FrameReader f(frame, size);
  if (net.family == NetFamily::IPv4) {
    return local_->Has(f.BE32(net.offset + 12)) || local_->Has(f.BE32(net.offset + 16));
  }
  if (net.family == NetFamily::IPv6 && net.offset + 40 <= size) {
    return local_->Has(frame + net.offset + 8) || local_->Has(frame + net.offset + 24);
  }
  return false;
}

[[gnu::always_inline]] inline void FrameHandler::UpdateRemote(bool v6, const std::uint8_t* address, std::uint16_t port) {
  if (!lastRemote_.empty() && v6 == lastRemoteV6_ && port == lastRemotePort_ &&
      (v6 ? std::memcmp(address, lastRemoteAddr_, 16) : std::memcmp(address, lastRemoteAddr_, 4)) == 0)
    return;
  lastRemote_.clear();
  if (v6) {
    lastRemote_ += '[';
    AppendIPv6Text(lastRemote_, address);
    lastRemoteAddrStart_ = 1;
    lastRemoteAddrEnd_ = lastRemote_.size();
    lastRemote_ += ']';
  } else {
    AppendIPText(lastRemote_, std::uint32_t{address[0]} << 24 | std::uint32_t{address[1]} << 16 |
                                  std::uint32_t{address[2]} << 8 | address[3]);
    lastRemoteAddrStart_ = 0;
    lastRemoteAddrEnd_ = lastRemote_.size();
  }
  lastRemote_ += ':';
  AppendPortText(lastRemote_, port);
  lastRemoteV6_ = v6;
  std::memcpy(lastRemoteAddr_, address, v6 ? 16 : 4);
  lastRemotePort_ = port;
}

void FrameHandler::ProcessPacket(const std::uint8_t* frame, std::uint32_t wireLength, std::uint32_t captured) {
  framesSeen_.fetch_add(1, std::memory_order_relaxed);
  if (test.TestActive.load()) {
    // During an adapter trial a frame is only counted. More than ten frames means traffic: an idle
    // link brings a few on its own (ARP, neighbour discovery), the test page's fetch brings many more.
    if (test.TestFrameCount.fetch_add(1) + 1 > 10) test.TestTrafficSeen.store(true);
    return;
  }
  // Only the bytes that are really there are ever read.
  const FrameReader f(frame, std::min(wireLength, captured));
  const std::size_t size = f.Size();
  const auto length = static_cast<long>(size);
  const NetworkHeader net = FindNetworkHeader(linkType_, frame, size);
  const bool ethernet = IsEthernetLink(linkType_);

  // The framing settles on the first frame whose link header names IP (IPv4 or IPv6; on Ethernet
  // plain at 14 or in a PPPoE session at 22, VLAN tags skipped) with a local address in it. An ARP
  // frame, or anything else that is not IP, never settles it.
  if (framingUnsettled_) {
    RefreshLocalAddresses();
    framingIndex_ = kFramingUnmatched;
    if (net.family != NetFamily::None && CarriesLocal(frame, size, net)) {
      framingIndex_ = net.pppoe ? 1 : 0;
      framingUnsettled_ = false;
    }
  } else {
    localShared_.Refresh(local_, localSeen_);
  }
  const bool settled = !framingUnsettled_;
  filter_.Refresh(filterCopy_, filterSeen_);

  Decoded d;
  std::size_t off;  // the network header
  if (net.family == NetFamily::IPv6) {
    off = net.offset;
    d.v6 = true;
    const IPv6Walk w = WalkIPv6(frame, size, off);
    if (w.src) {
      std::memcpy(d.src, w.src, 16);
      std::memcpy(d.dst, w.dst, 16);
    } else {
      std::memset(d.src, 0, 16);
      std::memset(d.dst, 0, 16);
    }
    d.protocol = w.protocol;
    d.transport = w.transport;
    d.hasPorts = w.hasPorts;
  } else {
    // IPv4, and whatever else the frame holds, is read as IPv4 with a header of 20 bytes: on Ethernet
    // at the settled framing's offset (PPPoE's while unsettled), elsewhere where the link header ends.
    off = ethernet ? kFramingOffsets[settled ? framingIndex_ : 1] + net.tagBytes : net.offset;
    if (off + 20 <= size) {
      std::memcpy(d.src, frame + off + 12, 4);
      std::memcpy(d.dst, frame + off + 16, 4);
    } else {
      const std::uint32_t src = f.BE32(off + 12), dst = f.BE32(off + 16);  // 0 where cut
      for (int k = 0; k < 4; ++k) {
        d.src[k] = static_cast<std::uint8_t>(src >> (24 - 8 * k));
        d.dst[k] = static_cast<std::uint8_t>(dst >> (24 - 8 * k));
      }
    }
    d.protocol = f.U8(off + 9);
    d.transport = off + 20;
  }
  if (d.hasPorts) {
    d.sport = f.BE16(d.transport);
    d.dport = f.BE16(d.transport + 2);
  }
  const bool outbound = d.v6 ? local_->Has(d.src) : local_->Has(f.BE32(off + 12));
  const Direction dir = outbound ? Direction::Outbound : Direction::Inbound;
  const std::uint8_t* remoteAddr = outbound ? d.dst : d.src;
  const std::uint16_t remotePort = outbound ? d.dport : d.sport;

  if (workMode.load(std::memory_order_relaxed) == WorkMode::Url) {
    const PacketFilter* filter = settled ? filterCopy_.get() : nullptr;
    // URL mode runs the protocol, direction, site and contained-text tests; a filter with none set (the
    // usual case) is not consulted for every frame.
    if (filter && filter->protocol == 0 && filter->direction == 0 && filter->siteAddress.empty() &&
        filter->contained.empty())
      filter = nullptr;
    UpdateRemote(d.v6, remoteAddr, remotePort);
    if (filter && !(filter->ProtocolPasses(d.protocol) && filter->DirectionPasses(dir) &&
                    filter->SitePasses(std::string_view(lastRemote_)
                                           .substr(lastRemoteAddrStart_, lastRemoteAddrEnd_ - lastRemoteAddrStart_))))
      return;
    QueuePayload(frame, size, length, off, d, outbound, remotePort, filter, settled);
    WatchFlows(frame, size, off, d, outbound, filter);
    if (https_ && https_->Enabled()) WatchHttps(frame, size, off, d, filter);
    return;
  }

  // Packet-list mode.
  const PacketFilter* filter = filterCopy_.get();
  if (!filter->ProtocolPasses(d.protocol)) return;
  // The payload follows a transport header of 8 bytes (UDP) or 20 (everything else); a later IPv6
  // fragment has no transport header.
  const std::size_t base = !d.hasPorts ? d.transport : d.transport + (d.protocol == kProtoUdp ? 8 : 20);
  const long L = length - static_cast<long>(base);
  // The remote text and the payload text are built in buffers kept from frame to frame; the row gets
  // copies of exactly their size, and only when the frame passes every test.
  std::string& remote = packetRemote_;
  remote.clear();
  if (d.v6) {
    AppendIPv6Text(remote, remoteAddr);
    if (!filter->SitePasses(remote) || !filter->DirectionPasses(dir)) return;
    remote.insert(remote.begin(), '[');
    remote += "]:";
  } else {
    AppendIPText(remote, std::uint32_t{remoteAddr[0]} << 24 | std::uint32_t{remoteAddr[1]} << 16 |
                             std::uint32_t{remoteAddr[2]} << 8 | remoteAddr[3]);
    if (!filter->SitePasses(remote) || !filter->DirectionPasses(dir)) return;
    remote += ':';
  }
  AppendPortText(remote, remotePort);
  std::size_t avail = L > 0 ? static_cast<std::size_t>(L) : 0;
  const std::uint8_t* payload = f.Bytes(base, avail);
  const std::string_view text = packetText_.Assign(payload, avail);
  if (!filter->MinLengthPasses(text) || !filter->ContainedPasses(text)) return;

  PacketRowData row;
  row.caption = ProtocolCaption(d.protocol);
  row.direction = dir;
  row.length = std::to_string(L > 0 ? L : 0);
  row.record = std::make_shared<const LVDATA>(LVDATA{remote, std::string(text)});
  row.payload = text;
  sink_.PacketFound(std::move(row));
}

// URL mode: the payload (from 20 bytes after the transport header's start) becomes a work-queue
// entry, drained at once.
[[gnu::always_inline]] inline void FrameHandler::QueuePayload(const std::uint8_t* frame, std::size_t size, long length, std::size_t off,
                                const Decoded& d, bool outbound, std::uint16_t remotePort, const PacketFilter* filter,
                                bool settled) {
  const FrameReader f(frame, size);
  // Frames shorter than 64 bytes are dropped; on links without an Ethernet header the same payload
  // sizes pass as on Ethernet.
  const long ethernetLength = IsEthernetLink(linkType_) ? length : length + 14 - static_cast<long>(off);
  if (ethernetLength < 64) return;
  const std::size_t base = d.hasPorts ? d.transport + 20 : d.transport;
  const long whole = length - static_cast<long>(base);
  std::size_t take = whole > 0 ? static_cast<std::size_t>(whole) : 0;
  std::size_t avail = take;
  const std::uint8_t* payload = f.Bytes(base, avail);
  const int learned = search_.learnedOffset;
  bool zeroFree = false;
  // How much of the payload is searched. Port 1755 (MMS, Windows Media streaming) carries its addresses
  // in a binary payload full of zero bytes, so it is always taken whole; so is every payload until the
  // framing is settled and the session's first request has taught where requests begin (`learned`).
  // When they begin at the payload's start (0), the text ends at the first zero byte. When they begin
  // `learned` bytes in (a prefix before the method), the take is the payload less 3 bytes, moved on
  // by that prefix and never beyond the payload.
  if (remotePort == 1755 || !settled || learned == -1) {
    take = avail;
  } else if (learned == 0) {
    const void* z = std::memchr(payload, 0, avail);
    take = z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - payload) : avail;
    zeroFree = true;
  } else {
    const long part = whole - 3 + learned;
    take = part > 0 ? std::min(static_cast<std::size_t>(part), avail) : 0;
  }
  if (!zeroFree) zeroFree = std::memchr(payload, 0, take) == nullptr;
  // A payload with zero bytes (most binary data) would have to be converted to payload text before it
  // is searched. Request parsing lists nothing from a payload that holds none of "ET ", "OST " and
  // "://"; these are plain ASCII without a zero byte, so the payload holds one exactly when its text
  // does, and a payload without any is neither converted nor queued.
  if (!zeroFree && !queueObserver_ && !HasRequestMarks(std::string_view(reinterpret_cast<const char*>(payload), take)))
    return;

  QueueEntry& entry = scratch_;
  entry.outbound = outbound;
  entry.remote.assign(lastRemote_);
  // A nested call (nothing drains the queue before it returns) keeps its own copy of the text.
  entry.payload = zeroFree && !queueDraining_ ? std::string_view(reinterpret_cast<const char*>(payload), take)
                                              : entry.ownedPayload.Assign(payload, take);
  if (filter && !filter->ContainedPasses(entry.payload)) return;
  if (entry.payload.size() < 20) return;

  if (queueObserver_) {
    std::string text;
    text.reserve(2 + entry.remote.size() + entry.payload.size());
    text.append(1, outbound ? '1' : '0').append(entry.remote).append(1, '|').append(entry.payload);
    queueObserver_(text);
  }
  queue_.push_back(std::move(entry));
  if (!queueDraining_) {
    queueDraining_ = true;
    CheckDATA();
  }
}

// Where the transport header starts (from the IPv4 header length field) and where the IP packet ends:
// its length field, unless that is 0 (a capture on the sending host of a segment the network card will
// cut) or runs past the frame. False for an IPv4 header length under 20.
// `transport` comes in as the decoded header's.
[[gnu::always_inline]] static inline bool IpPacketBounds(const FrameReader& f, std::size_t off, bool v6,
                                                         std::size_t& transport, std::size_t& end) {
  end = f.Size();
  if (v6) {
    const std::size_t total = off + 40 + f.BE16(off + 4);
    if (f.BE16(off + 4) != 0 && total < end) end = total;
    return true;
  }
  const std::size_t ihl = std::size_t{f.U8(off) & 0x0Fu} * 4;
  if (ihl < 20) return false;
  transport = off + ihl;
  const std::size_t total = off + f.BE16(off + 2);
  if (f.BE16(off + 2) != 0 && total < end) end = total;
  return true;
}

// URL mode: flows that a single segment cannot show. These read the real header lengths (the IPv4
// header length and TCP data offset fields, the IP total length against link padding), since they
// join bytes across segments.
[[gnu::always_inline]] inline void FrameHandler::WatchFlows(const std::uint8_t* frame, std::size_t size, std::size_t off, const Decoded& d,
                              bool outbound, const PacketFilter* filter) {
  if ((d.protocol != kProtoTcp && d.protocol != kProtoUdp) || !d.hasPorts) return;
  types_.Refresh(search_.types, typesSeen_);
  const bool serverNames = search_.types->httpsHosts;
  if (!serverNames && !(outbound && d.protocol == kProtoTcp)) return;
  const FrameReader f(frame, size);
  std::size_t transport = d.transport, end;
  if (!IpPacketBounds(f, off, d.v6, transport, end)) return;
  std::size_t start;
  if (d.protocol == kProtoTcp) {
    const std::size_t dataOffset = static_cast<std::size_t>(f.U8(transport + 12) >> 4) * 4;
    if (dataOffset < 20) return;
    start = transport + dataOffset;
  } else {
    start = transport + 8;
  }
  if (start >= end) return;
  const std::uint8_t* payload = frame + start;
  const std::size_t n = end - start;
  if (d.protocol == kProtoTcp ? !flows_.MayTakeTcp(payload, n, outbound, serverNames)
                              : !LooksLikeQuicInitial(payload, n))
    return;

  const std::uint16_t sport = f.BE16(transport), dport = f.BE16(transport + 2);
  const FlowKey key = FlowKey::Make(d.protocol, d.v6, d.src, d.dst, sport, dport);
  found_.clear();
  if (d.protocol == kProtoTcp) flows_.TcpSegment(key, f.BE32(transport + 4), payload, n, outbound, serverNames, found_);
  else flows_.UdpDatagram(key, payload, n, found_);
  if (found_.empty()) return;

  search_.sink = &urlSink_;
  for (const FlowFind& find : found_) {
    flowText_.clear();
    if (find.kind == FlowFind::Kind::JoinedRequest) {
      AppendPayloadText(flowText_, reinterpret_cast<const std::uint8_t*>(find.text.data()), find.text.size());
      if (filter && !filter->ContainedPasses(flowText_)) continue;
      SearchsJoined(flowText_, lastRemote_, outbound, search_);
    } else {
      AppendPayloadText(flowText_, payload, n);
      if (filter && !filter->ContainedPasses(flowText_)) continue;
      ListServerName(find.text, dport, lastRemote_, flowText_, search_);
    }
  }
}

// URL mode with a key log: TCP segments and UDP datagrams (QUIC) go to the HTTPS reader (the real header
// lengths, as for the flows).
void FrameHandler::WatchHttps(const std::uint8_t* frame, std::size_t size, std::size_t off, const Decoded& d,
                              const PacketFilter* filter) {
  if ((d.protocol != kProtoTcp && d.protocol != kProtoUdp) || !d.hasPorts) return;
  const FrameReader f(frame, size);
  std::size_t transport = d.transport, end;
  if (!IpPacketBounds(f, off, d.v6, transport, end)) return;
  httpsFound_.clear();
  if (d.protocol == kProtoUdp) {
    // QUIC: every datagram of either direction goes to the reader (it tells the client by its Initial).
    if (transport + 8 > end) return;
    https_->Datagram(d.v6, d.src, d.dst, f.BE16(transport), f.BE16(transport + 2), frame + transport + 8,
                     end - transport - 8, frameSeconds_, httpsFound_);
    ListHttpsFinds(filter);
    return;
  }
  const std::size_t dataOffset = static_cast<std::size_t>(f.U8(transport + 12) >> 4) * 4;
  if (dataOffset < 20 || transport + 20 > end) return;
  const std::size_t start = std::min(transport + dataOffset, end);
  tls::TcpSegmentView s;
  s.v6 = d.v6;
  s.src = d.src;
  s.dst = d.dst;
  s.sport = f.BE16(transport);
  s.dport = f.BE16(transport + 2);
  s.seq = f.BE32(transport + 4);
  s.flags = f.U8(transport + 13);
  s.payload = frame + start;
  s.length = end - start;
  https_->Segment(s, frameSeconds_, httpsFound_);
  ListHttpsFinds(filter);
}

// The requests the HTTPS reader decrypted, listed by the request-line rules with their scheme, the
// server's address and port as the remote, and the request's head as the packet.
void FrameHandler::ListHttpsFinds(const PacketFilter* filter) {
  if (httpsFound_.empty()) return;
  types_.Refresh(search_.types, typesSeen_);
  search_.sink = &urlSink_;
  for (tls::HttpsFind& find : httpsFound_) {
    // The packet names the scheme in its request line (the downloader reads it from there).
    std::string head = find.absolute ? std::move(find.head) : tls::AbsoluteRequestHead(find.head, find.scheme);
    if (filter && !filter->ContainedPasses(head)) continue;
    httpsRemote_.clear();
    if (find.v6) {
      httpsRemote_ += '[';
      AppendIPv6Text(httpsRemote_, find.server.data());
      httpsRemote_ += ']';
    } else {
      AppendIPText(httpsRemote_, std::uint32_t{find.server[0]} << 24 | std::uint32_t{find.server[1]} << 16 |
                                     std::uint32_t{find.server[2]} << 8 | find.server[3]);
    }
    httpsRemote_ += ':';
    AppendPortText(httpsRemote_, find.port);
    SearchsHttps(std::move(head), find.scheme, httpsRemote_, search_);
  }
}

void FrameHandler::CheckDATA() {
  const unsigned version = pagesVersion_.load();
  if (version != pagesSeen_) {
    auto pages = pages_.Get();
    search_.adPageLower = std::move(pages.first);
    search_.browserLocationLower = std::move(pages.second);
    pagesSeen_ = version;
  }
  while (!queue_.empty()) {
    const QueueEntry& entry = queue_.front();
    types_.Refresh(search_.types, typesSeen_);
    search_.sink = &urlSink_;
    Searchs(entry.payload, entry.remote, entry.outbound, search_);
    // Keep the entry's buffers for the next frame.
    scratch_ = std::move(queue_.front());
    queue_.pop_front();
  }
  queueDraining_ = false;
}

}  // namespace qv
