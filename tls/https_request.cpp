#include "tls/https_request.h"

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

}  // namespace qv::tls
