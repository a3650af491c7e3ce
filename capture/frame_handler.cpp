#include "capture/frame_handler.h"

#include <algorithm>
#include <cstring>

#include "capture/payload_text.h"
#include "capture/protohdr.h"
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
  std::vector<std::uint32_t> parsed;
  for (const auto& a : addresses) {
    std::uint32_t v;
    if (ParseIPv4(a, v)) parsed.push_back(v);
  }
  localShared_.Set(std::make_shared<const std::vector<std::uint32_t>>(std::move(parsed)));
  localTexts_.Set(std::move(addresses));
}

void FrameHandler::RefreshLocalAddresses() {
  std::vector<std::string> addresses = provider_ ? provider_() : std::vector<std::string>{};
  SetLocalAddresses(addresses);
  localShared_.Refresh(local_, localSeen_);
  sink_.LocalAddressesChanged(addresses);
}

bool FrameHandler::IsLocal(std::uint32_t address) const {
  return std::find(local_->begin(), local_->end(), address) != local_->end();
}

void FrameHandler::StartSession() {
  queue_.clear();
  queueDraining_ = false;
  framingUnsettled_ = true;
  framingIndex_ = kFramingUnmatched;
  search_.learnedOffset = -1;
}

void FrameHandler::ProcessPacket(const std::uint8_t* frame, std::uint32_t wireLength, std::uint32_t captured) {
  framesSeen_.fetch_add(1, std::memory_order_relaxed);
  if (test.TestActive.load()) {
    if (test.TestFrameCount.fetch_add(1) + 1 > 10) test.TestTrafficSeen.store(true);
    return;
  }
  // Only the bytes that are really there are ever read.
  const FrameReader f(frame, std::min(wireLength, captured));
  const auto length = static_cast<long>(f.Size());

  int off;
  if (framingUnsettled_) {
    RefreshLocalAddresses();
    for (framingIndex_ = 0; framingIndex_ < 2; ++framingIndex_) {
      off = kFramingOffsets[framingIndex_];
      if (IsLocal(f.BE32(off + 12)) || IsLocal(f.BE32(off + 16))) {
        framingUnsettled_ = false;
        break;
      }
    }
    off = kFramingOffsets[framingUnsettled_ ? 1 : framingIndex_];
  } else {
    localShared_.Refresh(local_, localSeen_);
    off = kFramingOffsets[framingIndex_];
  }
  const bool settled = !framingUnsettled_;
  filter_.Refresh(filterCopy_, filterSeen_);
  const int protocol = f.U8(off + 9);
  const std::uint32_t src = f.BE32(off + 12), dst = f.BE32(off + 16);
  const std::uint16_t sport = f.BE16(off + 20), dport = f.BE16(off + 22);
  const bool outbound = IsLocal(src);
  const Direction dir = outbound ? Direction::Outbound : Direction::Inbound;
  const std::uint32_t remoteAddr = outbound ? dst : src;
  const std::uint16_t remotePort = outbound ? dport : sport;

  if (workMode.load(std::memory_order_relaxed) == WorkMode::Url) {
    if (length < 64) return;
    const PacketFilter* filter = settled ? filterCopy_.get() : nullptr;
    if (lastRemote_.empty() || remoteAddr != lastRemoteAddr_ || remotePort != lastRemotePort_) {
      lastRemote_.clear();
      AppendIPText(lastRemote_, remoteAddr);
      lastRemoteAddrEnd_ = lastRemote_.size();
      lastRemote_ += ':';
      AppendPortText(lastRemote_, remotePort);
      lastRemoteAddr_ = remoteAddr;
      lastRemotePort_ = remotePort;
    }
    if (filter && !(filter->ProtocolPasses(protocol) && filter->DirectionPasses(dir) &&
                    filter->SitePasses(std::string_view(lastRemote_).substr(0, lastRemoteAddrEnd_))))
      return;

    const long whole = length - off - 40;
    std::size_t take = whole > 0 ? static_cast<std::size_t>(whole) : 0;
    std::size_t avail = take;
    const std::uint8_t* payload = f.Bytes(static_cast<std::size_t>(off) + 40, avail);
    const int learned = search_.learnedOffset;
    bool zeroFree = false;
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
    return;
  }

  // Packet-list mode.
  const PacketFilter* filter = filterCopy_.get();
  if (!filter->ProtocolPasses(protocol)) return;
  const int headers = protocol == kProtoUdp ? 28 : 40;
  const long L = length - off - headers;
  // The remote text and the payload text are built in buffers kept from frame to frame; the row gets
  // copies of exactly their size, and only when the frame passes every test.
  std::string& remote = packetRemote_;
  remote.clear();
  AppendIPText(remote, remoteAddr);
  if (!filter->SitePasses(remote) || !filter->DirectionPasses(dir)) return;
  remote += ':';
  AppendPortText(remote, remotePort);
  std::size_t avail = L > 0 ? static_cast<std::size_t>(L) : 0;
  const std::uint8_t* payload = f.Bytes(static_cast<std::size_t>(off + headers), avail);
  const std::string_view text = packetText_.Assign(payload, avail);
  if (!filter->MinLengthPasses(text) || !filter->ContainedPasses(text)) return;

  PacketRowData row;
  row.caption = ProtocolCaption(protocol);
  row.direction = dir;
  row.length = std::to_string(L > 0 ? L : 0);
  row.record = std::make_shared<const LVDATA>(LVDATA{remote, std::string(text)});
  row.payload = text;
  sink_.PacketFound(std::move(row));
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
