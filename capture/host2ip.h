// Host-name resolution and the machine's own IPv4 addresses.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace qv {

// Dotted-quad text of the first IPv4 address of the host; a dotted quad comes back unchanged.
// Nothing when the name cannot be resolved.
std::optional<std::string> ResolveHost(const std::string& host);

// The IPv4 addresses of the machine's interfaces, in the order the system lists them.
std::vector<std::string> LocalAddresses();

}  // namespace qv
