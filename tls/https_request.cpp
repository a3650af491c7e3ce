#include "tls/https_request.h"

#include <string_view>

namespace qv::tls {

bool RequestHead(const HttpsRequest& request, std::string& head, std::string& scheme) {
  const std::string* method = nullptr;
  const std::string* path = nullptr;
  const std::string* authority = nullptr;
  const std::string* host = nullptr;
  scheme = "https";
  std::size_t size = 0;
  for (const auto& f : request.fields) {
    size += f.name.size() + f.value.size() + 4;
    if (f.name == ":method") method = &f.value;
    else if (f.name == ":path") path = &f.value;
    else if (f.name == ":authority") authority = &f.value;
    else if (f.name == ":scheme") scheme = f.value;
    else if (f.name == "host" && !host) host = &f.value;
  }
  if (!method || !path || path->empty()) return false;
  if (!authority || authority->empty()) authority = host;
  head.clear();
  head.reserve(size + 32);
  head.append(*method).append(" ").append(*path).append(" HTTP/1.1\r\n");
  if (authority) head.append("Host: ").append(*authority).append("\r\n");
  std::string cookie;
  for (const auto& f : request.fields) {
    if (!f.name.empty() && f.name[0] == ':') continue;
    if (f.name == "host" && authority) continue;
    if (f.name == "cookie") {
      if (!cookie.empty()) cookie.append("; ");
      cookie.append(f.value);
      continue;
    }
    head.append(f.name).append(": ").append(f.value).append("\r\n");
  }
  if (!cookie.empty()) head.append("cookie: ").append(cookie).append("\r\n");
  head.append("\r\n");
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
  const std::string_view port = scheme == "https" ? ":443" : ":80";
  if (host.size() > port.size() && host.substr(host.size() - port.size()) == port) host.remove_suffix(port.size());
  std::string out;
  out.reserve(head.size() + scheme.size() + 3 + host.size());
  out.append(head, 0, sp1 + 1).append(scheme).append("://").append(host).append(head, sp1 + 1, std::string::npos);
  return out;
}

}  // namespace qv::tls
