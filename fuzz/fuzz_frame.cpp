// Fuzz target: arbitrary bytes as a run of captured frames through FrameHandler::ProcessPacket, with the
// results inserted into a real UrlList, so that framing, direction, payload text, request parsing,
// classification and the list's duplicate and view rules all run. Afterwards every view entry is
// shown and the selection copy is taken of every visible row.
//
// The whole input also goes through the wide-vector kernels and their baseline forms, which must agree.
//
// Input layout:
//   [0]     switches: bit0 packet-list mode; bit1 duplicates allowed; bit2 undefined types listed;
//           bit3 packet filter set; bit4 a local address is known; bit5 the work mode flips after half
//           the frames; bit6 a new session starts after half the frames; bit7 a category view is
//           showing while the frames arrive
//   [1]     filter: bits0-2 protocol (0, 6, 17, 1, 80, 0, 6, 17), bits3-4 direction (3 reads as 0),
//           bits5-7 minimum length in steps of 16
//   [2..5]  the local IPv4 address, network order
//   [6..9]  the filter's site address, network order (0.0.0.0: no site test)
//   [10]    bits0-3 length of the contained string that follows the header; bits4-6 view entry;
//           bit7 the capture's link type is not Ethernet but one of fifteen others, picked by [11] bits0-3
//   [11]    bytes the wire length exceeds the captured length by (a snapshot-length cut); bit4 also
//           turns the httpsHosts switch on (server names of TLS and QUIC, through the flow watcher)
//   then    the contained string, then frames: a 2-byte big-endian length (top bit set: the wire length
//           is half the captured length) followed by that many bytes; the last frame takes what is left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/frame_handler.h"
#include "capture/payload_text.h"
#include "capture/protohdr.h"
#include "common/lvdata.h"
#include "common/texts.h"
#include "packets/packet_filter.h"
#include "urls/file_type_table.h"
#include "urls/en2cn.h"
#include "urls/request_parser.h"
#include "urls/url_list.h"

namespace {

using namespace qv;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_frame: invariant broken: %s\n", what);
  std::abort();
}
#define CHECK(cond) \
  do {              \
    if (!(cond)) Fail(#cond); \
  } while (0)

class ListSink : public FrameSink {
 public:
  explicit ListSink(UrlList& list) : list_(list) {}
  void UrlFound(UrlInsertion&& insertion) override {
    CHECK(!insertion.category.empty());
    CHECK(insertion.record != nullptr);
    ++urls;
    list_.Insert(std::move(insertion));
  }
  void PacketFound(PacketRowData&& row) override {
    CHECK(row.record != nullptr);
    CHECK(row.payload == row.record->Packet);
    ++packets;
    list_.AppendPacketRow(std::move(row.caption), row.direction, std::move(row.payload), std::move(row.length),
                          std::move(row.record));
  }
  std::size_t urls = 0;
  std::size_t packets = 0;

 private:
  UrlList& list_;
};

// The table the program ships with, built without a settings file.
FileTypeSnapshot ShippedTable() {
  const char* lists[kCategoryCount] = {
      "1.flv|1.mp4|1.m4v|1.webm|1.mkv|1.avi|1.wmv|1.asf|1.rm|1.rmvb|1.mov|1.mpg|1.mpeg|1.3gp|1.f4v|1.ts|1.m3u8|1.mpd|",
      "1.mp3|1.m4a|1.aac|1.ogg|1.opus|1.flac|1.wav|1.wma|1.ape|1.ra|1.mid|1.amr|",
      "1.jpg|1.jpeg|1.png|1.gif|1.webp|1.bmp|1.ico|1.svg|",
      "1.txt|1.lrc|1.xml|1.json|1.csv|1.pdf|0.htm|0.html|0.shtml|0.js|0.css|0.php|0.asp|0.aspx|0.jsp|",
      "1.zip|1.rar|1.7z|1.exe|1.apk|1.iso|1.torrent|",
  };
  FileTypeSnapshot t;
  for (int c = 0; c < kCategoryCount; ++c)
    for (FileTypeEntry& e : ParseExtensionList(lists[c])) t = t.WithEntry(c, std::move(e.text), e.checked);
  return t;
}

bool IsCategoryCaption(std::string_view s) {
  for (std::string_view c : {texts::kCatVideo, texts::kCatAudio, texts::kCatPicture, texts::kCatText,
                             texts::kCatCustom, texts::kCatAudioVideo, texts::kCatUndefined})
    if (s == c) return true;
  return false;
}

// "a.b.c.d:port", each part plain decimal, or "[v6]:port" with the IPv6 address as RFC 5952 writes it.
bool IsRemoteText(std::string_view s) {
  const std::size_t colon = s.rfind(':');
  if (colon == std::string_view::npos) return false;
  if (!s.empty() && s.front() == '[') {
    IPv6Bytes v6;
    if (colon < 2 || s[colon - 1] != ']') return false;
    const std::string_view text = s.substr(1, colon - 2);
    if (!ParseIPv6(text, v6) || IPv6ToText(v6) != text) return false;
  } else {
    std::uint32_t ip;
    if (!ParseIPv4(std::string(s.substr(0, colon)), ip)) return false;
  }
  const std::string_view port = s.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned v = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v <= 65535 && (port.size() == 1 || port[0] != '0');
}

void CheckRecord(const LVDataPtr& data) {
  CHECK(data != nullptr);
  CHECK(data->Packet.find('\0') == std::string::npos);  // payload text never holds a zero byte
  CHECK(IsRemoteText(data->Remote));
}

// lv2 after a view change holds exactly the rows of LV1 whose caption contains the view's filter.
void CheckViewRebuilt(const UrlList& list) {
  std::size_t j = 0;
  for (const ListRow& row : list.Lv1()) {
    if (row.caption.find(list.ViewFilter()) == std::string::npos) continue;
    CHECK(j < list.Lv2().size());
    const ViewRow& v = list.Lv2()[j++];
    CHECK(v.address == row.cells[1]);
    CHECK(v.caption == row.cells[0]);
    CHECK(v.data == row.data);
  }
  CHECK(j == list.Lv2().size());
}

// The kernel the program uses and the baseline kernel give the same answers on any bytes.
void CheckKernelsAgree(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const PayloadMarks wide = FindMarks(text), base = FindMarksBaseline(text);
  CHECK(wide.get == base.get && wide.separator == base.separator);
  if (wide.get == std::string_view::npos) CHECK(wide.post == base.post);
  std::unique_ptr<char[]> a(new char[2 * size + kPayloadTextSlack]), b(new char[2 * size + kPayloadTextSlack]);
  const std::size_t na = WritePayloadText(a.get(), data, size), nb = WritePayloadTextBaseline(b.get(), data, size);
  CHECK(na == nb && std::memcmp(a.get(), b.get(), na) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckKernelsAgree(data, size);
  constexpr std::size_t kHeader = 12;
  if (size < kHeader) return 0;
  const std::uint8_t sw = data[0], fl = data[1];
  const bool packetMode = sw & 1, duplicates = sw & 2, undefinedTypes = sw & 4, useFilter = sw & 8,
             haveLocal = sw & 16, flipMode = sw & 32, restart = sw & 64, earlyView = sw & 128;
  const std::uint32_t localIp = std::uint32_t{data[2]} << 24 | std::uint32_t{data[3]} << 16 |
                                std::uint32_t{data[4]} << 8 | data[5];
  const std::uint32_t siteIp = std::uint32_t{data[6]} << 24 | std::uint32_t{data[7]} << 16 |
                               std::uint32_t{data[8]} << 8 | data[9];
  const std::size_t containedLen = data[10] & 0x0F;
  const int viewEntry = (data[10] >> 4) & 7;
  const std::uint32_t wireExtra = data[11];
  std::size_t pos = kHeader;
  if (size - pos < containedLen) return 0;
  const std::string contained(reinterpret_cast<const char*>(data + pos), containedLen);
  pos += containedLen;

  FileTypeState types;
  const bool httpsHosts = data[11] & 0x10;
  types.Replace(
      ShippedTable().WithDuplicates(duplicates).WithUndefinedTypes(undefinedTypes).WithHttpsHosts(httpsHosts));

  UrlList list;
  if (earlyView) list.ViewByCategory(viewEntry);
  ListSink sink(list);
  std::vector<std::string> local;
  if (haveLocal) {
    local.push_back(IPToText(localIp));
    local.push_back("2001:db8::1");  // so that IPv6 frames can be outbound too
  }
  FrameHandler handler(types, sink, [local] { return local; });
  handler.SetAdPage(kAdPage);
  handler.SetBrowserLocation("http://www.quelvar.example/news.htm");
  if (useFilter) {
    static constexpr int kProtocols[8] = {0, 6, 17, 1, 80, 0, 6, 17};
    PacketFilter f;
    f.protocol = kProtocols[fl & 7];
    f.direction = ((fl >> 3) & 3) % 3;
    f.minLength = (fl >> 5) * 16;
    f.contained = contained;
    if (siteIp != 0) f.siteText = f.siteAddress = IPToText(siteIp);
    handler.SetFilter(std::move(f));
  }
  handler.workMode = packetMode ? WorkMode::Packets : WorkMode::Url;
  // Linux cooked v1 and v2, raw IP (three numbers), BSD loopback, OpenBSD loopback, IPv6, IPv4, and
  // link types read as Ethernet (an unknown one among them).
  static constexpr int kLinkTypes[16] = {113, 276, 12, 101, 0, 108, 229, 228, 14, 1, 147, 300, 113, 276, 14, 0};
  const int linkType = (data[10] & 0x80) ? kLinkTypes[data[11] & 15] : 1;
  handler.StartSession(linkType);

  // Cut the rest into frames first, so that "half the frames" is known.
  struct Frame {
    std::size_t at, len;
    bool shortWire;
  };
  std::vector<Frame> frames;
  while (pos < size) {
    std::size_t len = size - pos;
    bool shortWire = false;
    if (len >= 2) {
      const unsigned field = unsigned{data[pos]} << 8 | data[pos + 1];
      shortWire = field & 0x8000;
      len = std::min<std::size_t>(field & 0x7FFF, size - pos - 2);
      pos += 2;
    } else {
      pos += len;
      break;
    }
    frames.push_back(Frame{pos, len, shortWire});
    pos += len;
  }

  int learned = -1;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i == frames.size() / 2 && i > 0) {
      if (flipMode)
        handler.workMode = handler.workMode.load() == WorkMode::Url ? WorkMode::Packets : WorkMode::Url;
      if (restart) {
        handler.StartSession(linkType);
        CHECK(handler.LearnedOffset() == -1 && !handler.FramingSettled());
        learned = -1;
      }
    }
    // Each frame in a buffer of its own exact size, so that any read past its end is caught.
    const Frame& f = frames[i];
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[f.len ? f.len : 1]);
    if (f.len) std::memcpy(copy.get(), data + f.at, f.len);
    const auto captured = static_cast<std::uint32_t>(f.len);
    const std::uint32_t wire = f.shortWire ? captured / 2 : captured + wireExtra;
    handler.ProcessPacket(copy.get(), wire, captured);
    // Once learned, the request offset holds for the rest of the session.
    if (learned != -1) CHECK(handler.LearnedOffset() == learned);
    learned = handler.LearnedOffset();
    CHECK(learned >= -1);
  }
  CHECK(handler.FramesSeen() == frames.size());
  // QV_FUZZ_SHOW=1 tells what an input did (for checking that seeds reach the parts they are for).
  static const bool show = std::getenv("QV_FUZZ_SHOW") != nullptr;
  if (show)
    std::fprintf(stderr, "frames %zu, framing %s (index %d), learned offset %d, url insertions %zu, packet rows %zu, "
                 "LV1 rows %zu, lv2 rows %zu\n",
                 frames.size(), handler.FramingSettled() ? "settled" : "unsettled", handler.FramingIndex(),
                 handler.LearnedOffset(), sink.urls, sink.packets, list.Lv1().size(), list.Lv2().size());

  // Every row: a record with a proper remote text and a payload text without zero bytes.
  for (const ListRow& row : list.Lv1()) {
    CheckRecord(row.data);
    CHECK(row.cells[0] == texts::kOutbound || row.cells[0] == texts::kInbound);
  }
  if (!packetMode && !flipMode) {
    CHECK(sink.packets == 0);
    for (const ListRow& row : list.Lv1()) {
      CHECK(IsCategoryCaption(row.caption));
      CHECK(!row.cells[1].empty());
    }
    // Without duplicates an address is listed once.
    if (!duplicates) {
      std::vector<std::string_view> seen;
      for (const ListRow& row : list.Lv1()) seen.push_back(row.cells[1]);
      std::sort(seen.begin(), seen.end());
      CHECK(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
    }
  }
  for (const ViewRow& row : list.Lv2()) CheckRecord(row.data);

  // Every view entry (the separator and out-of-range entries included), and the selection copy of
  // every visible row.
  for (int entry = -1; entry <= kViewEntryCount; ++entry) {
    const int before = list.ActiveEntry();
    list.ViewByCategory(entry);
    if (entry < 0 || entry >= kViewEntryCount || ViewEntryCaption(entry).empty()) {
      CHECK(list.ActiveEntry() == before);
      continue;
    }
    CHECK(list.ActiveEntry() == entry);
    if (entry != kViewAllEntry) CheckViewRebuilt(list);
    if (list.ShowingAll()) {
      for (std::size_t i = 0; i < list.Lv1().size(); ++i) {
        const auto sel = list.LVSLT(i, std::nullopt);
        CHECK(sel && sel->address == list.Lv1()[i].cells[1] && sel->data == list.Lv1()[i].data);
        (void)DecodeAddress(sel->address);
      }
      CHECK(!list.LVSLT(std::nullopt, std::nullopt));
      CHECK(!list.LVSLT(list.Lv1().size(), std::nullopt));
    } else {
      for (std::size_t j = 0; j < list.Lv2().size(); ++j) {
        const auto sel = list.LVSLT(std::nullopt, j);
        CHECK(sel && sel->address == list.Lv2()[j].address && sel->data == list.Lv2()[j].data);
        (void)En2Cn(sel->address);
      }
      CHECK(!list.LVSLT(0, list.Lv2().size()));
    }
  }
  return 0;
}
