#include "tls/https_request.h"

#include <cstring>
#include <string_view>

namespace qv::tls {

namespace {

using namespace std::string_view_literals;  // names compared as views: the lengths first

// The fields a head is written from.
struct HeadFields {
  const std::string* method = nullptr;
  const std::string* path = nullptr;
  const std::string* authority = nullptr;  // ":authority", else the "host" field; may be null
  std::size_t size = 0;                     // about the bytes of the fields
};

// False when the request names no path.
bool FindHeadFields(const HttpsRequest& request, HeadFields& h, std::string& scheme) {
  const std::string* host = nullptr;
  scheme = "https";
  for (const auto& f : request.fields) {
    h.size += f.name.size() + f.value.size() + 4;
    const std::string_view name = f.name;
    if (!name.empty() && name[0] == ':') {
      if (name == ":method"sv) h.method = &f.value;
      else if (name == ":path"sv) h.path = &f.value;
      else if (name == ":authority"sv) h.authority = &f.value;
      else if (name == ":scheme"sv) scheme = f.value;
    } else if (!host && name == "host"sv) {
      host = &f.value;
    }
  }
  if (!h.method || !h.path || h.path->empty()) return false;
  if (!h.authority || h.authority->empty()) h.authority = host;
  return true;
}

// Whether a field goes into the head's header lines as it is (pseudo-header fields do not, nor "host" when
// the authority gives the Host line, nor cookie crumbs, which are joined into one line).
enum class FieldUse : unsigned char { Skip, Line, Cookie };
FieldUse UseOf(const HeaderField& f, const HeadFields& h) {
  const std::string_view name = f.name;
  if (!name.empty() && name[0] == ':') return FieldUse::Skip;
  if (h.authority && name == "host"sv) return FieldUse::Skip;
  return name == "cookie"sv ? FieldUse::Cookie : FieldUse::Line;
}

// The head with `origin` ("scheme://host", or nothing) written before the path: its length counted
// first, then every piece copied into place.
void WriteHead(const HttpsRequest& request, const HeadFields& h, std::string_view origin, std::string& head) {
  constexpr std::string_view kVersion = " HTTP/1.1\r\n", kHost = "Host: ", kEnd = "\r\n", kColon = ": ",
                             kCookie = "cookie: ", kCrumbs = "; ";
  std::size_t length = h.method->size() + 1 + origin.size() + h.path->size() + kVersion.size() + kEnd.size();
  if (h.authority) length += kHost.size() + h.authority->size() + kEnd.size();
  std::size_t cookieLength = 0;  // the crumbs joined: "; " only after a crumb that is not empty
  for (const auto& f : request.fields) {
    switch (UseOf(f, h)) {
      case FieldUse::Skip: break;
      case FieldUse::Line: length += f.name.size() + kColon.size() + f.value.size() + kEnd.size(); break;
      case FieldUse::Cookie:
        if (cookieLength != 0) cookieLength += kCrumbs.size();
        cookieLength += f.value.size();
        break;
    }
  }
  if (cookieLength != 0) length += kCookie.size() + cookieLength + kEnd.size();
  head.resize(length);
  char* w = head.data();
  const auto put = [&w](std::string_view piece) {
    if (!piece.empty()) std::memcpy(w, piece.data(), piece.size());
    w += piece.size();
  };
  put(*h.method);
  put(" ");
  put(origin);
  put(*h.path);
  put(kVersion);
  if (h.authority) {
    put(kHost);
    put(*h.authority);
    put(kEnd);
  }
  for (const auto& f : request.fields) {
    if (UseOf(f, h) != FieldUse::Line) continue;
    put(f.name);
    put(kColon);
    put(f.value);
    put(kEnd);
  }
  if (cookieLength != 0) {
    put(kCookie);
    bool first = true;
    for (const auto& f : request.fields) {
      if (UseOf(f, h) != FieldUse::Cookie) continue;
      if (!first) put(kCrumbs);
      put(f.value);
      first = first && f.value.empty();
    }
    put(kEnd);
  }
  put(kEnd);
}

std::string_view TrimSpaceTab(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The host of an absolute target: the Host header's value trimmed, without the scheme's default port.
std::string_view OriginHost(std::string_view host, const std::string& scheme) {
  const std::string_view port = scheme == "https" ? ":443" : ":80";
  if (host.size() > port.size() && host.substr(host.size() - port.size()) == port) host.remove_suffix(port.size());
  return host;
}

}  // namespace

bool RequestHead(const HttpsRequest& request, std::string& head, std::string& scheme) {
  HeadFields h;
  if (!FindHeadFields(request, h, scheme)) return false;
  WriteHead(request, h, {}, head);
  return true;
}

bool PacketHead(const HttpsRequest& request, std::string& packet, std::string& scheme) {
  HeadFields h;
  if (!FindHeadFields(request, h, scheme)) return false;
  // Written at once when the head's own first line and Host line are the ones AbsoluteRequestHead would
  // read (no line break inside them, the method without a space, a path); otherwise written and then
  // made absolute.
  const auto plain = [](const std::string& s) { return s.find('\r') == std::string::npos; };
  const std::string_view host = h.authority ? TrimSpaceTab(*h.authority) : std::string_view{};
  if (!host.empty() && (*h.path)[0] == '/' && h.method->find(' ') == std::string::npos && plain(*h.method) &&
      plain(*h.path) && plain(*h.authority)) {
    std::string origin;
    origin.reserve(scheme.size() + 3 + host.size());
    origin.append(scheme).append("://").append(OriginHost(host, scheme));
    WriteHead(request, h, origin, packet);
    return true;
  }
  std::string head;
  WriteHead(request, h, {}, head);
  packet = AbsoluteRequestHead(head, scheme);
  return true;
}

std::string AbsoluteRequestHead(const std::string& head, const std::string& scheme) {
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos) return head;
  const std::size_t sp1 = head.find(' ');
  if (sp1 == std::string::npos || sp1 + 1 >= lineEnd || head[sp1 + 1] != '/') return head;
  // The Host header, its name in any case.
  std::string_view host;
  for (std::size_t at = lineEnd; at != std::string::npos && at + 2 < head.size();) {
    const std::size_t start = at + 2;
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    if (end - start > 5) {
      const std::string_view name(head.data() + start, 5);
      bool match = true;
      for (std::size_t i = 0; i < 5; ++i)
        if ((name[i] | 0x20) != "host:"[i]) match = false;
      if (match) {
        host = std::string_view(head.data() + start + 5, end - start - 5);
        while (!host.empty() && (host.front() == ' ' || host.front() == '\t')) host.remove_prefix(1);
        while (!host.empty() && (host.back() == ' ' || host.back() == '\t')) host.remove_suffix(1);
        break;
      }
    }
    at = end;
  }
  if (host.empty()) return head;
  host = OriginHost(host, scheme);
  std::string out;
  out.reserve(head.size() + scheme.size() + 3 + host.size());
  out.append(head, 0, sp1 + 1).append(scheme).append("://").append(host).append(head, sp1 + 1, std::string::npos);
  return out;
}

}  // namespace qv::tls
