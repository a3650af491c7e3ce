// Request parsing: turns the payload text of one packet into the addresses it names, either from an
// HTTP GET/POST request line with its Host header, or by scanning every "://" in it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "common/lvdata.h"
#include "urls/file_type_table.h"

namespace qv {

enum class InsertionKind : unsigned char { RequestLine, Scan };

// One address that parsing hands to the URL list.
struct UrlInsertion {
  InsertionKind kind = InsertionKind::Scan;
  std::string_view category;  // static GBK text from FileType, never empty
  Direction direction = Direction::Outbound;
  std::string address;
  LVDataPtr record;             // Remote and Packet of the packet; shared by the insertions of one payload
  bool outbound = false;        // the packet's own direction (the scan insertion's view rule reads it)
  bool duplicates = false;      // the duplicates switch as it stood when the address was classified
};

class UrlSink {
 public:
  virtual ~UrlSink() = default;
  virtual void Insert(UrlInsertion&& insertion) = 0;
};

struct SearchContext {
  int learnedOffset = -1;             // -1 until the first request line of a session is seen
  std::string adPageLower;            // the ad page address, lower-cased
  std::string browserLocationLower;   // the embedded browser's current address, lower-cased
  FileTypeSnapshotPtr types;          // never null
  UrlSink* sink = nullptr;
};

// First positions of the three markers that decide how a payload is read: "ET " (GET), "OST "
// (POST) and "://". One pass finds them; `get` and `separator` equal what a separate find would give,
// and so does `post` when the payload holds no "ET " (otherwise it is not needed and may be either
// that position or npos).
struct PayloadMarks {
  std::size_t get = std::string_view::npos, post = std::string_view::npos, separator = std::string_view::npos;
};
PayloadMarks FindMarks(std::string_view payload);
// The same search with the build's baseline instructions only, resumed at `from` with the marks
// found before it (FindMarks uses it after its wider kernel, and tests hold the two together).
PayloadMarks FindMarksBaseline(std::string_view payload, std::size_t from = 0, PayloadMarks found = {});

// Whether the payload holds "ET ", "OST " or "://": without any of them Searchs lists nothing and
// changes nothing.
inline bool HasRequestMarks(std::string_view payload) {
  const PayloadMarks m = FindMarks(payload);
  return m.get != std::string_view::npos || m.post != std::string_view::npos ||
         m.separator != std::string_view::npos;
}

void Searchs(std::string_view payload, std::string_view remote, bool outbound, SearchContext& ctx);

// A request head joined from consecutive segments of one flow (its request line and its Host header
// came in different segments): only the request-line form is tried, and the learned request offset is
// left as it is.
void SearchsJoined(std::string_view head, std::string_view remote, bool outbound, SearchContext& ctx);

// A request head read from a decrypted HTTPS connection (an HTTP/1.1 head as sent, or an HTTP/2 or
// HTTP/3 request written as HTTP/1.1 text): listed by the request-line rules of a head joined from
// segments, with `scheme` ("https" or "http") in place of http and the port left out of the Host header
// when it is the scheme's default. `remote` is the server's address and port; the head is the row's packet.
// The head is taken: it becomes the row's packet without a copy.
void SearchsHttps(std::string&& head, std::string_view scheme, std::string_view remote, SearchContext& ctx);

// The server name of a TLS ClientHello (over TCP or in a QUIC Initial) as the row "https://NAME/"
// ("https://NAME:PORT/" when the server's port is not 443), classified like any address and handed
// to the request-line insertion (outbound). `payload` is the payload text kept with the row.
void ListServerName(std::string_view name, std::uint16_t port, std::string_view remote, std::string_view payload,
                    SearchContext& ctx);

}  // namespace qv
