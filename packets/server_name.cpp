#include "packets/server_name.h"

namespace qv {

bool IsServerNameRow(std::string_view address, std::string_view packet) {
  constexpr std::string_view kScheme = "https://";
  if (address.substr(0, kScheme.size()) != kScheme || address.size() < kScheme.size() + 2 || address.back() != '/')
    return false;
  const std::string_view host = address.substr(kScheme.size(), address.size() - kScheme.size() - 1);
  // One host with an optional port: no path, query or user part.
  for (const char c : host)
    if (c == '/' || c == '?' || c == '#' || c == '@' || c == ' ') return false;
  if (packet.empty()) return true;
  const auto first = static_cast<unsigned char>(packet.front());
  return first == 0x16 || first >= 0x80;  // TLS handshake record; QUIC long header
}

}  // namespace qv
