#include "tools/Dorrinel/request.h"

#include <algorithm>

#include "common/bytes.h"

namespace dorrinel {

namespace {

using qv::LowerAscii;
using qv::TrimView;

// A handed text longer than this is read only up to here: a request that fits a packet is far
// shorter, and the clipboard may hold anything.
constexpr std::size_t kMaxTextBytes = 1 << 20;
constexpr std::size_t kMaxHeaders = 100;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsControl(unsigned char b) { return b < 0x20 || b == 0x7F; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsTokenChar(char c) {
  return IsAlpha(c) || IsDigit(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && LowerAscii(s.substr(0, prefix.size())) == prefix;
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && LowerAscii(s.substr(s.size() - suffix.size())) == suffix;
}

// The end of the line that starts at `pos`: the position of its CR LF or LF, or the text's end.
std::size_t LineEnd(std::string_view s, std::size_t pos) {
  const std::size_t lf = s.find('\n', pos);
  if (lf == std::string_view::npos) return s.size();
  return (lf > pos && s[lf - 1] == '\r') ? lf - 1 : lf;
}
std::size_t NextLine(std::string_view s, std::size_t pos) {
  const std::size_t lf = s.find('\n', pos);
  return lf == std::string_view::npos ? s.size() : lf + 1;
}

// "<method> <target> HTTP/<d>.<d>" with single blanks; the target holds no blank or control byte.
bool IsRequestLine(std::string_view line, std::string_view method, std::string_view& target) {
  if (line.size() < method.size() + 1 || line.substr(0, method.size()) != method || line[method.size()] != ' ') {
    return false;
  }
  const std::string_view rest = line.substr(method.size() + 1);
  const std::size_t sp = rest.find(' ');
  if (sp == 0 || sp == std::string_view::npos) return false;
  const std::string_view version = rest.substr(sp + 1);
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !IsDigit(version[5]) || version[6] != '.' ||
      !IsDigit(version[7])) {
    return false;
  }
  target = rest.substr(0, sp);
  return std::none_of(target.begin(), target.end(),
                      [](char c) { return IsControl(static_cast<unsigned char>(c)) || c == ' '; });
}

// Where the first valid request line starts, with its method and target.
struct RequestLine {
  std::size_t start = std::string_view::npos;
  std::size_t end = 0;  // the line's end (before CR LF)
  std::string_view method;
  std::string_view target;
};
RequestLine FindRequestLine(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const std::size_t g = text.find("GET ", pos);
    const std::size_t p = text.find("POST ", pos);
    pos = std::min(g, p);
    if (pos == std::string_view::npos) break;
    const std::string_view method = pos == g ? std::string_view("GET") : std::string_view("POST");
    const std::size_t end = LineEnd(text, pos);
    std::string_view target;
    if (IsRequestLine(text.substr(pos, end - pos), method, target)) return {pos, end, method, target};
  }
  return {};
}

bool ParsePort(std::string_view text, std::optional<std::uint16_t>& port) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  unsigned value = 0;
  for (char c : text) value = value * 10 + static_cast<unsigned>(c - '0');
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// "name", "name:port", "[v6]", "[v6]:port" into the request's host and port.
bool ParseHostPort(std::string_view authority, DownloadRequest& r) {
  std::string_view host = authority;
  std::string_view port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
      hasPort = true;
    }
    if (host.empty() || host.find(':') == std::string_view::npos ||
        !std::all_of(host.begin(), host.end(), [](char c) { return IsHex(c) || c == ':' || c == '.'; })) {
      return false;
    }
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      hasPort = true;
    }
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-' ||
        !std::all_of(host.begin(), host.end(),
                     [](char c) { return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_'; })) {
      return false;
    }
  }
  if (hasPort && !ParsePort(port, r.port)) return false;
  r.host = LowerAscii(host);
  return true;
}

// Splits "scheme://authority/rest" after the scheme's "://": the authority ends at the first '/',
// '?', '#' or '\'. Returns the target (path and query, without the fragment, "/" when empty).
std::string_view SplitAuthority(std::string_view afterScheme, std::string_view& authority) {
  const std::size_t end = afterScheme.find_first_of("/?#\\");
  authority = afterScheme.substr(0, end);
  if (end == std::string_view::npos) return "/";
  std::string_view target = afterScheme.substr(end);
  target = target.substr(0, target.find('#'));
  return target.empty() ? std::string_view("/") : target;
}

// A target in origin form for a request: "/" first.
std::string OriginTarget(std::string_view target) {
  std::string encoded = EncodeTarget(target);
  if (encoded.empty() || encoded.front() != '/') encoded.insert(encoded.begin(), '/');
  return encoded;
}

std::string EncodeUserInfo(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (IsAlpha(c) || IsDigit(c) || std::string_view("-._~!$&'()*+,;=:%").find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// The host, port and target of a request from the authority ("host:port", user info removed) and
// the target after it; an empty or malformed authority sets the error instead.
void SetServerAndTarget(std::string_view authority, std::string_view target, DownloadRequest& r) {
  if (authority.empty()) {
    r.error = ParseError::kNoHost;
    return;
  }
  if (!ParseHostPort(authority, r)) {
    r.error = ParseError::kBadHost;
    return;
  }
  r.target = OriginTarget(target);
  r.stream = IsStreamAddress(r.scheme, r.target);
}

DownloadRequest ParseAddress(std::string_view text) {
  DownloadRequest r;
  const std::size_t sep = text.find("://");
  const std::string_view scheme = sep == std::string_view::npos ? std::string_view() : text.substr(0, sep);
  if (scheme.empty() || !IsAlpha(scheme.front()) ||
      !std::all_of(scheme.begin(), scheme.end(),
                   [](char c) { return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.'; }) ||
      std::any_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; })) {
    r.error = ParseError::kNotRequest;
    return r;
  }
  r.scheme = LowerAscii(scheme);
  static constexpr std::string_view kKnown[] = {"http", "https", "rtsp", "rtsps", "rtmp",
                                                "rtmps", "mms", "mmsh", "mmst"};
  if (std::find(std::begin(kKnown), std::end(kKnown), r.scheme) == std::end(kKnown)) {
    r.error = ParseError::kUnsupportedScheme;
    return r;
  }
  std::string_view authority;
  const std::string_view target = SplitAuthority(text.substr(sep + 3), authority);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    r.userInfo = EncodeUserInfo(authority.substr(0, at));
    authority = authority.substr(at + 1);
  }
  SetServerAndTarget(authority, target, r);
  return r;
}

DownloadRequest ParseRequest(std::string_view text, const RequestLine& line) {
  DownloadRequest r;
  r.method = std::string(line.method);

  // The header block runs up to the first empty line, or to the end of a text cut short.
  std::size_t pos = NextLine(text, line.end);
  if (line.end == text.size()) pos = text.size();
  std::optional<std::string_view> hostHeader;
  while (pos < text.size()) {
    const std::size_t end = LineEnd(text, pos);
    const std::string_view l = text.substr(pos, end - pos);
    pos = NextLine(text, end);
    if (l.empty()) {
      r.body = std::string(text.substr(pos));
      break;
    }
    const std::size_t colon = l.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    const std::string_view name = l.substr(0, colon);
    const std::string_view value = TrimView(l.substr(colon + 1));
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) continue;  // also a folded line
    if (LowerAscii(name) == "host" && !hostHeader) hostHeader = value;
    if (KeepHeader(name, value) && r.headers.size() < kMaxHeaders) {
      r.headers.push_back({std::string(name), std::string(value)});
    }
  }

  // An absolute address in the request line names the host; the Host header is then ignored.
  std::string_view target = line.target;
  std::string_view authority;
  if (StartsWithNoCase(target, "http://") || StartsWithNoCase(target, "https://")) {
    const std::size_t sep = target.find("://");
    r.scheme = LowerAscii(target.substr(0, sep));
    target = SplitAuthority(target.substr(sep + 3), authority);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority = authority.substr(at + 1);
  } else if (hostHeader) {
    authority = *hostHeader;
  }
  SetServerAndTarget(authority, target, r);
  return r;
}

}  // namespace

std::string NulMarkersToZeros(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xA5 && i + 1 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) == 0xFE) {
      out += '\0';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

DownloadRequest ParseHandedText(std::string_view text) {
  if (text.size() > kMaxTextBytes) text = text.substr(0, kMaxTextBytes);
  const std::string bytes = NulMarkersToZeros(text);
  const RequestLine line = FindRequestLine(bytes);
  if (line.start != std::string_view::npos) return ParseRequest(bytes, line);
  const std::string_view trimmed = TrimView(bytes);
  if (trimmed.empty()) {
    DownloadRequest r;
    r.error = ParseError::kEmpty;
    return r;
  }
  return ParseAddress(trimmed);
}

bool KeepHeader(std::string_view name, std::string_view value) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar)) return false;
  if (std::any_of(value.begin(), value.end(),
                  [](char c) { return c != '\t' && IsControl(static_cast<unsigned char>(c)); })) {
    return false;
  }
  const std::string lower = LowerAscii(name);
  static constexpr std::string_view kDropped[] = {
      "host",           "connection",        "keep-alive",  "proxy-connection", "proxy-authorization",
      "upgrade",        "http2-settings",    "content-length", "transfer-encoding", "expect",
      "trailer",        "range",             "accept-encoding", "te",
  };
  if (std::find(std::begin(kDropped), std::end(kDropped), lower) != std::end(kDropped)) return false;
  return lower.rfind("if-", 0) != 0;  // If-Range, If-Match, If-None-Match, If-Modified-Since, ...
}

std::string EncodeTarget(std::string_view target) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    const auto b = static_cast<unsigned char>(c);
    const bool escape = c == '%' && i + 2 < target.size() && IsHex(target[i + 1]) && IsHex(target[i + 2]);
    if (escape || (b > 0x20 && b < 0x7F && std::string_view("\"#<>\\^`{|}%").find(c) == std::string_view::npos)) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

bool IsStreamAddress(std::string_view scheme, std::string_view target) {
  if (scheme != "http" && scheme != "https") return true;  // rtsp, rtmp, mms and their kin
  const std::string_view path = target.substr(0, target.find('?'));
  return EndsWithNoCase(path, ".m3u8") || EndsWithNoCase(path, ".mpd");
}

RedirectStep NextAfterRedirect(int status, std::string_view method, bool sameOrigin, int redirectsSoFar,
                               bool hasBody) {
  RedirectStep step;
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return step;
  if (redirectsSoFar >= kMaxRedirects) {
    step.outcome = RedirectStep::Outcome::kTooMany;
    return step;
  }
  step.outcome = RedirectStep::Outcome::kFollow;
  step.anotherOrigin = !sameOrigin;
  if (status == 307 || status == 308) {
    step.method = std::string(method);
    step.keepBody = true;
    if (hasBody && !sameOrigin) step.outcome = RedirectStep::Outcome::kBodyToAnotherOrigin;
  } else if (status == 303 || method == "POST") {
    step.method = "GET";  // as every browser does for 301 and 302 after a POST
  } else {
    step.method = std::string(method);
  }
  return step;
}

std::string Origin::Text() const {
  std::string text = scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
  if (port != (scheme == "https" ? 443 : 80)) text += ":" + std::to_string(port);
  return text;
}

std::optional<Origin> OriginOf(std::string_view url) {
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string scheme = LowerAscii(url.substr(0, sep));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string_view authority;
  SplitAuthority(url.substr(sep + 3), authority);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  DownloadRequest r;
  if (authority.empty() || !ParseHostPort(authority, r)) return std::nullopt;
  return Origin{scheme, r.host, r.port.value_or(scheme == "https" ? 443 : 80)};
}

std::vector<Header> HeadersForAnotherOrigin(const std::vector<Header>& headers, const std::optional<Origin>& target) {
  std::vector<Header> out;
  for (const Header& h : headers) {
    const std::string lower = LowerAscii(h.name);
    if (lower == "user-agent" || lower == "accept" || lower == "accept-language") {
      out.push_back(h);
    } else if (lower == "referer" && target) {
      const std::optional<Origin> page = OriginOf(h.value);
      if (!page || (page->scheme == "https" && target->scheme == "http")) continue;
      out.push_back({h.name, *page == *target ? h.value.substr(0, h.value.find('#')) : page->Text() + "/"});
    }
  }
  return out;
}

std::vector<Header> WithoutBodyHeaders(const std::vector<Header>& headers) {
  std::vector<Header> out;
  for (const Header& h : headers) {
    const std::string lower = LowerAscii(h.name);
    if (lower != "content-type" && lower != "content-encoding" && lower != "content-language" &&
        lower != "content-location") {
      out.push_back(h);
    }
  }
  return out;
}

std::string DownloadRequest::DisplayUrl() const {
  std::string url = scheme + "://";
  url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port) url += ":" + std::to_string(*port);
  return url + target;
}

std::string DownloadRequest::Url() const {
  if (userInfo.empty()) return DisplayUrl();
  const std::string plain = DisplayUrl();
  const std::size_t sep = plain.find("://") + 3;
  return plain.substr(0, sep) + userInfo + "@" + plain.substr(sep);
}

}  // namespace dorrinel
