// What the HTTPS readers hand on: a request's header fields as the client sent them, and the counts
// of the connections they saw.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qv::tls {

struct HeaderField {
  std::string name;  // HTTP/2 and HTTP/3: lower case, pseudo-header fields (":method", ":path", ...) first
  std::string value;
};

// One request read from a decrypted stream.
struct HttpsRequest {
  std::vector<HeaderField> fields;
};

// Connections seen with a ClientHello, those whose requests could be read, those for which no key
// was found, and those whose decryption failed (a record whose tag did not verify, a malformed stream).
struct HttpsCounts {
  std::uint64_t connections = 0;
  std::uint64_t decrypted = 0;
  std::uint64_t withoutKeys = 0;
  std::uint64_t failed = 0;
  HttpsCounts& operator+=(const HttpsCounts& o) {
    connections += o.connections;
    decrypted += o.decrypted;
    withoutKeys += o.withoutKeys;
    failed += o.failed;
    return *this;
  }
};

}  // namespace qv::tls

namespace qv::tls {

// The request written as HTTP/1.1 text, as a row's packet: the request line with the path, "Host:" with the
// authority (":authority", else the "host" field), then the other fields as sent (pseudo-header fields
// left out, cookie crumbs joined with "; "), then the empty line. `scheme` gets ":scheme" ("https" when
// absent). False when the request names no path (CONNECT and the like): it gives no row.
bool RequestHead(const HttpsRequest& request, std::string& head, std::string& scheme);

// The row's packet of a request read from HTTP/2 or HTTP/3: what AbsoluteRequestHead makes of the head
// RequestHead writes, written in one pass (false when RequestHead gives no head).
bool PacketHead(const HttpsRequest& request, std::string& packet, std::string& scheme);

// The head with its request target made absolute ("GET https://host/path HTTP/1.1"), the host taken from
// the Host header (its port left out when it is the scheme's default): the row's packet, so that whatever
// reads it again (the downloader) knows the scheme. A head whose target is not a path, or that has no Host
// header, is returned as it is.
std::string AbsoluteRequestHead(const std::string& head, const std::string& scheme);

}  // namespace qv::tls
