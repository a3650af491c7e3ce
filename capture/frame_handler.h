// The per-frame handler: finds the network header by the capture's link type (on Ethernet it settles
// the framing, plain or PPPoE, once per session), reads IPv4 at fixed offsets or walks the IPv6
// header, decides the direction against the local addresses, turns the payload into text and hands it
// to request parsing (URL mode) or to the packet filter (packet-list mode). In URL mode it also
// watches flows for what no single segment shows (requests over two segments, TLS and QUIC server
// names). Runs on the capture thread; what the user-interface thread changes is held in atomics or
// locked values.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture/flow_watcher.h"
#include "capture/link_layer.h"
#include "capture/payload_text.h"
#include "capture/protohdr.h"
#include "common/locked_value.h"
#include "common/lvdata.h"
#include "packets/packet_filter.h"
#include "urls/file_type_table.h"
#include "tls/https_session.h"
#include "urls/request_parser.h"

namespace qv {

enum class WorkMode : unsigned char { Url = 0, Packets = 1 };

// One row of packet-list mode, as the capture thread hands it over.
struct PacketRowData {
  std::string caption;  // protocol caption
  Direction direction = Direction::Inbound;
  std::string payload;  // payload text
  std::string length;   // payload length in decimal
  LVDataPtr record;
};

// Where the handler's results go. Called on the capture thread, in arrival order.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void UrlFound(UrlInsertion&& insertion) = 0;
  virtual void PacketFound(PacketRowData&& row) = 0;
  // The local address list was refreshed while the framing was unsettled.
  virtual void LocalAddressesChanged(const std::vector<std::string>& /*addresses*/) {}
};

// Frame counting while the adapter test runs.
struct AdapterTestState {
  std::atomic<bool> TestActive{false};
  std::atomic<int> TestFrameCount{0};
  std::atomic<bool> TestTrafficSeen{false};
};

// The maker's ad page, which the window shows in its tool bar: the requests that page makes are not
// listed (SetAdPage), by the window and the headless front alike.
inline constexpr const char* kAdPage = "http://www.quelvar.example/admax.htm";

// Framing table of Ethernet links: IPv4 header offset per framing index (VLAN tags add to it).
inline constexpr int kFramingOffsets[2] = {14, 22};
inline constexpr int kFramingUnmatched = 2;

class FrameHandler {
 public:
  using LocalAddressProvider = std::function<std::vector<std::string>()>;

  FrameHandler(const FileTypeState& types, FrameSink& sink, LocalAddressProvider localAddresses);

  // --- shared with the user-interface thread ---
  std::atomic<WorkMode> workMode{WorkMode::Url};
  AdapterTestState test;
  void SetFilter(PacketFilter filter) { filter_.Set(std::make_shared<const PacketFilter>(std::move(filter))); }
  std::shared_ptr<const PacketFilter> Filter() const { return filter_.Get(); }
  void SetBrowserLocation(std::string address);
  void SetAdPage(std::string address);
  // The local address list (the window's cbb2); the last one is the one shown as "the" local address.
  void SetLocalAddresses(std::vector<std::string> addresses);
  // HTTPS read with the browser's key log (none by default). The session object outlives the handler's
  // captures; set it before a capture starts. It reads anything only while it has key log files.
  void SetHttps(tls::HttpsSession* https) { https_ = https; }

  // --- capture thread ---
  // A new session: empty queue, framing unsettled, learned request offset -1, no flows held. The
  // link type is the capture's (pcap_datalink); Ethernet when the library cannot tell.
  void StartSession(int linkType = kLinkEthernet);
  // One frame: `wireLength` is the frame's length on the wire, `captured` the bytes present at `frame`.
  void ProcessPacket(const std::uint8_t* frame, std::uint32_t wireLength, std::uint32_t captured);
  // The capture time of the next frame, in seconds (HTTPS holds records for a while by this clock).
  void SetFrameTime(double seconds) { frameSeconds_ = seconds; }
  void CheckDATA();

  bool FramingSettled() const { return !framingUnsettled_; }
  int FramingIndex() const { return framingIndex_; }
  int LearnedOffset() const { return search_.learnedOffset; }
  int LinkType() const { return linkType_; }
  const FlowWatcher& Flows() const { return flows_; }
  std::uint64_t FramesSeen() const { return framesSeen_.load(std::memory_order_relaxed); }
  // Sees every work-queue entry as it is appended (for tests and diagnostics).
  void SetQueueObserver(std::function<void(std::string_view)> observer) { queueObserver_ = std::move(observer); }

 private:
  void RefreshLocalAddresses();
  // The frame's network header, as decoded for the rest of the handler.
  struct Decoded {
    bool v6 = false;
    std::uint8_t src[16], dst[16];  // network order; IPv4: the first four bytes only
    int protocol = 0;
    std::size_t transport = 0;  // where the transport header starts (IPv4: fixed at offset + 20)
    bool hasPorts = true;       // false in an IPv6 fragment other than the first
    std::uint16_t sport = 0, dport = 0;
  };
  bool CarriesLocal(const std::uint8_t* frame, std::size_t size, const NetworkHeader& net) const;
  void QueuePayload(const std::uint8_t* frame, std::size_t size, long length, std::size_t netOffset, const Decoded& d,
                    bool outbound, std::uint16_t remotePort, const PacketFilter* filter, bool settled);
  void WatchFlows(const std::uint8_t* frame, std::size_t size, std::size_t netOffset, const Decoded& d,
                  bool outbound, const PacketFilter* filter);
  // The remote text of the frame ("a.b.c.d:port" or "[v6]:port"), kept while the peer stays the same;
  // `addressEnd` is the end of the address part without brackets ("a.b.c.d" or "v6") at `addressStart`.
  void UpdateRemote(bool v6, const std::uint8_t* address, std::uint16_t port);

  // Hands the addresses that request parsing finds to the frame sink.
  class UrlForwarder : public UrlSink {
   public:
    explicit UrlForwarder(FrameSink& sink) : sink_(sink) {}
    void Insert(UrlInsertion&& insertion) override { sink_.UrlFound(std::move(insertion)); }

   private:
    FrameSink& sink_;
  };

  const FileTypeState& types_;
  FrameSink& sink_;
  UrlForwarder urlSink_{sink_};
  LocalAddressProvider provider_;

  VersionedValue<std::shared_ptr<const PacketFilter>> filter_{std::make_shared<const PacketFilter>()};
  // Ad page and browser location, lower-cased; the version tells the capture thread to copy them again.
  LockedValue<std::pair<std::string, std::string>> pages_;
  std::atomic<unsigned> pagesVersion_{1};
  unsigned pagesSeen_ = 0;
  VersionedValue<std::shared_ptr<const LocalAddressSet>> localShared_{std::make_shared<const LocalAddressSet>()};

  // Capture-thread state.
  int linkType_ = kLinkEthernet;
  bool framingUnsettled_ = true;
  int framingIndex_ = kFramingUnmatched;
  std::shared_ptr<const LocalAddressSet> local_;  // this thread's copies
  unsigned localSeen_ = 0;
  std::shared_ptr<const PacketFilter> filterCopy_;
  unsigned filterSeen_ = 0;
  unsigned typesSeen_ = 0;
  // One work-queue entry: the direction flag, the remote text ("address:port") and the payload text.
  // The payload text is a view of the frame's own bytes when they hold no zero byte (the text then
  // equals the bytes), otherwise of `ownedPayload`. A view of the frame is only valid while its
  // ProcessPacket call runs; the queue is drained before that call returns.
  struct QueueEntry {
    bool outbound = false;
    std::string remote;
    std::string_view payload;
    PayloadTextBuffer ownedPayload;
  };
  std::deque<QueueEntry> queue_;
  bool queueDraining_ = false;
  SearchContext search_;
  std::atomic<std::uint64_t> framesSeen_{0};
  QueueEntry scratch_;  // keeps its buffers from frame to frame
  // Packet-list mode's buffers, kept from frame to frame.
  std::string packetRemote_;
  PayloadTextBuffer packetText_;
  // The remote text of the last frame, reused while frames keep coming from the same peer.
  bool lastRemoteV6_ = false;
  std::uint8_t lastRemoteAddr_[16] = {};
  std::uint16_t lastRemotePort_ = 0;
  std::string lastRemote_;
  std::size_t lastRemoteAddrStart_ = 0;  // the address part of lastRemote_, without brackets
  std::size_t lastRemoteAddrEnd_ = 0;
  void WatchHttps(const std::uint8_t* frame, std::size_t size, std::size_t netOffset, const Decoded& d,
                  const PacketFilter* filter);
  void ListHttpsFinds(const PacketFilter* filter);
  FlowWatcher flows_;
  tls::HttpsSession* https_ = nullptr;
  double frameSeconds_ = 0;
  std::vector<tls::HttpsFind> httpsFound_;  // scratch
  std::string httpsRemote_;                 // scratch
  std::vector<FlowFind> found_;  // scratch
  std::string flowText_;         // scratch
  std::function<void(std::string_view)> queueObserver_;
};

}  // namespace qv
