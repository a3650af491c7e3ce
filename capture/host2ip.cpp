#include "capture/host2ip.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "capture/protohdr.h"

namespace qv {

std::optional<std::string> ResolveHost(const std::string& host) {
  std::uint32_t quad = 0;
  if (ParseIPv4(host, quad)) return host;
  if (host.empty()) return std::nullopt;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  std::optional<std::string> result;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      result = IPToText(ntohl(sin->sin_addr.s_addr));
      break;
    }
  }
  freeaddrinfo(list);
  return result;
}

// Every IPv4 address of every interface, loopback included, in the order the system lists them.
// The interfaces' addresses rather than a look-up of the host name: on Linux the host name often maps
// to 127.0.1.1 only, which no captured frame carries.
std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    out.push_back(IPToText(ntohl(sin->sin_addr.s_addr)));
  }
  freeifaddrs(list);
  return out;
}

}  // namespace qv
