#include "capture/host2ip.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>

#include "capture/protohdr.h"

namespace qv {

std::optional<std::string> ResolveHost(const std::string& host) {
  std::uint32_t quad = 0;
  if (ParseIPv4(host, quad)) return host;
  IPv6Bytes v6;
  if (ParseIPv6(host, v6)) return IPv6ToText(v6);  // the same text the frame handler writes
  if (host.empty()) return std::nullopt;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  // The first IPv4 address; a name with IPv6 addresses only gives its first IPv6 address.
  std::optional<std::string> result, firstV6;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      result = IPToText(ntohl(sin->sin_addr.s_addr));
      break;
    }
    if (a->ai_family == AF_INET6 && !firstV6 && a->ai_addr != nullptr && a->ai_addrlen >= sizeof(sockaddr_in6)) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      std::string text;
      AppendIPv6Text(text, sin6->sin6_addr.s6_addr);
      firstV6 = std::move(text);
    }
  }
  freeaddrinfo(list);
  return result ? result : firstV6;
}

// Every IPv4 and IPv6 address of every interface, loopback included: the IPv6 addresses first, then
// the IPv4 addresses, each in the order the system lists them, so that the last one (the one shown as
// "the" local address) stays an IPv4 address on a machine that has one. The interfaces' addresses
// rather than a look-up of the host name: on Linux the host name often maps to 127.0.1.1 only, which
// no captured frame carries.
std::vector<std::string> LocalAddresses() {
  std::vector<std::string> v6, v4;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return v4;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    if (i->ifa_addr->sa_family == AF_INET) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      v4.push_back(IPToText(ntohl(sin->sin_addr.s_addr)));
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
      std::string text;
      AppendIPv6Text(text, sin6->sin6_addr.s6_addr);
      if (std::find(v6.begin(), v6.end(), text) == v6.end()) v6.push_back(std::move(text));
    }
  }
  freeifaddrs(list);
  v6.insert(v6.end(), v4.begin(), v4.end());
  return v6;
}

std::string LocalAddressFor(std::string_view remote, const std::vector<std::string>& locals) {
  const bool v6 = !remote.empty() && remote.front() == '[';
  for (auto it = locals.rbegin(); it != locals.rend(); ++it) {
    std::uint32_t quad;
    if (ParseIPv4(*it, quad) != v6) return *it;
  }
  return locals.empty() ? std::string() : locals.back();
}

}  // namespace qv
