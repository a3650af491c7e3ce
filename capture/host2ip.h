// Host-name resolution and the machine's own IPv4 addresses.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Dotted-quad text of the first IPv4 address of the host (a host with IPv6 addresses only: its first
// IPv6 address as RFC 5952 text); a dotted quad comes back unchanged, an IPv6 address as RFC 5952
// text. Nothing when the name cannot be resolved.
std::optional<std::string> ResolveHost(const std::string& host);

// The IPv6 and IPv4 addresses of the machine's interfaces: the IPv6 ones first, then the IPv4 ones,
// each in the order the system lists them (the last one is then an IPv4 address when there is one).
std::vector<std::string> LocalAddresses();

// The local address to show beside a remote text ("a.b.c.d:port" or "[v6]:port"): the last of
// `locals` of the same family, else the last of all; empty when there is none.
std::string LocalAddressFor(std::string_view remote, const std::vector<std::string>& locals);

}  // namespace qv
