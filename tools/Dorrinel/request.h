// What the downloader is asked to fetch, read from the text it is handed (the clipboard or its first
// argument), without Qt. Two forms are understood:
//   - a captured HTTP request: the payload text of a packet, GBK bytes in which every zero byte is
//     written as the NUL marker 0xA5 0xFE. The request line ("GET " or "POST ") may start anywhere in
//     it: on Linux the copied text begins with the 12 bytes of the TCP timestamp option;
//   - a plain address ("http://host/file.mp3", "rtsp://camera/stream", ...), fetched with a GET.
// Every byte of the text is taken as hostile: nothing here trusts a length, a name or a header.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorrinel {

// A payload text back to the bytes that travelled: every NUL marker (0xA5 immediately followed by
// 0xFE), read from the first byte on, becomes one zero byte.
std::string NulMarkersToZeros(std::string_view payloadText);

enum class ParseError {
  kNone,
  kEmpty,              // nothing but blanks
  kNotRequest,         // neither a request line nor an address
  kNoHost,             // a request without a Host header or an address in its request line
  kBadHost,            // a host or port that cannot be connected to
  kUnsupportedScheme,  // an address of a scheme that is neither fetched nor recorded (ftp://, ...)
};

struct Header {
  std::string name;   // as captured
  std::string value;  // bytes as captured (GBK), trimmed
  bool operator==(const Header&) const = default;
};

struct DownloadRequest {
  ParseError error = ParseError::kNone;
  std::string method = "GET";  // "GET" or "POST"
  std::string scheme = "http";  // lower case
  std::string userInfo;         // "user:password" of an address, as written
  std::string host;             // lower case; an IPv6 address without its brackets
  std::optional<std::uint16_t> port;  // only when one was written
  std::string target;           // path and query, "/" first, printable ASCII (see EncodeTarget)
  std::vector<Header> headers;  // to send again (see KeepHeader)
  std::string body;             // what followed the captured header block (POST)
  bool stream = false;          // recorded with ffmpeg rather than fetched (see IsStreamAddress)

  // scheme://[userinfo@]host[:port]target, with an IPv6 host in brackets.
  std::string Url() const;
  // The address without its user information: what is shown and what a partial file is tied to.
  std::string DisplayUrl() const;
};

// Reads the text handed to the downloader (bytes as GBK, NUL markers not yet replaced). A request
// line found in it wins over an address; the first valid request line is taken. For a request the
// host comes from an absolute address in the request line ("GET http://host/x HTTP/1.1") when there
// is one, else from the Host header, as HTTP/1.1 orders it.
DownloadRequest ParseHandedText(std::string_view text);

// Whether a header of a captured request is sent again. Dropped: the ones that would give less than
// the whole file or another encoding of it (Range, If-*, Accept-Encoding, TE), the ones that belong to
// the captured connection (Host, Connection, Keep-Alive, Proxy-*, Upgrade, Content-Length,
// Transfer-Encoding, Expect, Trailer, HTTP2-Settings), names that are not HTTP tokens, and values with
// control bytes (a zero byte from a NUL marker, for one).
bool KeepHeader(std::string_view name, std::string_view value);

// A request target as printable ASCII: bytes that may not stand in an address (controls, blanks,
// bytes from 0x80 on, '"', '#', '<', '>', '\', '^', '`', '{', '|', '}') and a '%' that opens no escape are
// percent-encoded; everything else, existing escapes included, stays as it is.
std::string EncodeTarget(std::string_view target);

// rtsp://, rtsps://, rtmp://, rtmps://, mms://, mmsh://, mmst:// addresses, and http(s) addresses
// whose path ends in .m3u8 or .mpd (a playlist or manifest of a stream).
bool IsStreamAddress(std::string_view scheme, std::string_view target);

// What follows a redirect answer. Relative and absolute Location values are resolved by the caller.
struct RedirectStep {
  enum class Outcome { kFollow, kTooMany, kNotARedirect, kBodyToAnotherOrigin };
  Outcome outcome = Outcome::kNotARedirect;
  std::string method;            // the method of the next request
  bool keepBody = false;         // 307 and 308 send the body again (to the same origin only)
  bool anotherOrigin = false;    // only HeadersForAnotherOrigin go on
};
inline constexpr int kMaxRedirects = 10;
// `hasBody`: the request carries a body. A 307 or 308 would send it again; to another origin that is
// refused (kBodyToAnotherOrigin): a login form's password has no business there.
RedirectStep NextAfterRedirect(int status, std::string_view method, bool sameOrigin, int redirectsSoFar,
                               bool hasBody);

// Scheme, host and port of an http(s) address: what "the same site" means for a redirect.
struct Origin {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower case; an IPv6 address without its brackets
  std::uint16_t port = 0;  // the scheme's own port when none was written
  bool operator==(const Origin&) const = default;
  std::string Text() const;  // "https://host", with ":port" when it is not the scheme's own
};
std::optional<Origin> OriginOf(std::string_view url);

// The headers that may follow a redirect to another origin: User-Agent, Accept and Accept-Language
// as they are, and Referer as browsers send it by default (strict-origin-when-cross-origin): whole to
// the referring page's own origin, only that origin ("https://page/") to another, never from an
// https page to an http address. Everything else stays behind: cookies, credentials, API keys,
// anti-forgery tokens and whatever other header a site uses for its secrets.
std::vector<Header> HeadersForAnotherOrigin(const std::vector<Header>& headers, const std::optional<Origin>& target);

// The headers that describe a body (Content-Type, Content-Encoding, Content-Language,
// Content-Location), dropped when a redirect turns the request into a GET without one.
std::vector<Header> WithoutBodyHeaders(const std::vector<Header>& headers);

}  // namespace dorrinel
