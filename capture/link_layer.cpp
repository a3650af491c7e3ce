#include "capture/link_layer.h"

#include <initializer_list>

namespace qv {
namespace {

constexpr unsigned kEtherIPv4 = 0x0800;
constexpr unsigned kEtherIPv6 = 0x86DD;
constexpr unsigned kEtherPppoeSession = 0x8864;
constexpr unsigned kPppIPv4 = 0x0021;
constexpr unsigned kPppIPv6 = 0x0057;
constexpr int kMaxTags = 4;
constexpr int kMaxExtensionHeaders = 8;

// Bounds-checked big-endian reads: beyond the end they give 0.
unsigned U8(const std::uint8_t* f, std::size_t n, std::size_t at) { return at < n ? f[at] : 0u; }
unsigned BE16(const std::uint8_t* f, std::size_t n, std::size_t at) {
  return at + 2 <= n ? (unsigned{f[at]} << 8 | f[at + 1]) : 0u;
}

bool IsTag(unsigned type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; }

// Follows an EtherType at `typeAt` whose payload starts at `next`: VLAN tags are skipped, a PPPoE
// session is opened.
NetworkHeader FromEtherType(const std::uint8_t* f, std::size_t n, std::size_t typeAt, std::size_t next) {
  NetworkHeader h;
  unsigned type = BE16(f, n, typeAt);
  for (int k = 0; k < kMaxTags && IsTag(type); ++k) {
    typeAt = next + 2;  // a tag: 2 bytes of tag control, then the next EtherType
    next += 4;
    h.tagBytes += 4;
    type = BE16(f, n, typeAt);
  }
  h.offset = next;
  if (type == kEtherIPv4) {
    h.family = NetFamily::IPv4;
  } else if (type == kEtherIPv6) {
    h.family = NetFamily::IPv6;
  } else if (type == kEtherPppoeSession) {
    // PPPoE header (6 bytes), then the PPP protocol (2 bytes).
    h.pppoe = true;
    const unsigned ppp = BE16(f, n, next + 6);
    h.offset = next + 8;
    if (ppp == kPppIPv4) h.family = NetFamily::IPv4;
    else if (ppp == kPppIPv6) h.family = NetFamily::IPv6;
  }
  return h;
}

// The first byte's version nibble.
NetworkHeader FromVersion(const std::uint8_t* f, std::size_t n, std::size_t at) {
  NetworkHeader h;
  h.offset = at;
  const unsigned version = U8(f, n, at) >> 4;
  if (at < n && version == 4) h.family = NetFamily::IPv4;
  else if (at < n && version == 6) h.family = NetFamily::IPv6;
  return h;
}

// BSD loopback: an address family of 4 bytes, in the byte order of the machine that captured (null)
// or in network order (loop). Both orders are tried; AF_INET is 2 everywhere, AF_INET6 differs.
NetworkHeader FromFamily(const std::uint8_t* f, std::size_t n) {
  NetworkHeader h;
  h.offset = 4;
  if (n < 4) return h;
  const std::uint32_t little = std::uint32_t{f[0]} | std::uint32_t{f[1]} << 8 | std::uint32_t{f[2]} << 16 |
                               std::uint32_t{f[3]} << 24;
  const std::uint32_t big = std::uint32_t{f[3]} | std::uint32_t{f[2]} << 8 | std::uint32_t{f[1]} << 16 |
                            std::uint32_t{f[0]} << 24;
  for (std::uint32_t family : {little, big}) {
    if (family == 2) h.family = NetFamily::IPv4;
    else if (family == 10 || family == 24 || family == 28 || family == 30) h.family = NetFamily::IPv6;
  }
  return h;
}

}  // namespace

bool IsKnownLinkType(int linkType) {
  switch (linkType) {
    case kLinkNull: case kLinkEthernet: case kLinkRaw: case kLinkRawOpenBsd: case kLinkRawFile: case kLinkLoop:
    case kLinkLinuxSll: case kLinkIPv4: case kLinkIPv6: case kLinkLinuxSll2:
      return true;
    default:
      return false;
  }
}

NetworkHeader FindNetworkHeaderSlow(int linkType, const std::uint8_t* frame, std::size_t size) {
  switch (linkType) {
    case kLinkLinuxSll: return FromEtherType(frame, size, 14, 16);
    case kLinkLinuxSll2: return FromEtherType(frame, size, 0, 20);
    case kLinkRaw: case kLinkRawOpenBsd: case kLinkRawFile: return FromVersion(frame, size, 0);
    case kLinkIPv4: {
      NetworkHeader h;
      h.family = size > 0 ? NetFamily::IPv4 : NetFamily::None;
      return h;
    }
    case kLinkIPv6: {
      NetworkHeader h;
      h.family = size > 0 ? NetFamily::IPv6 : NetFamily::None;
      return h;
    }
    case kLinkNull: case kLinkLoop: return FromFamily(frame, size);
    default: return FromEtherType(frame, size, 12, 14);  // Ethernet, and what is read like it
  }
}

IPv6Walk WalkIPv6(const std::uint8_t* f, std::size_t n, std::size_t offset) {
  IPv6Walk w;
  if (offset + 40 <= n) {
    w.src = f + offset + 8;
    w.dst = f + offset + 24;
  }
  unsigned next = U8(f, n, offset + 6);
  std::size_t pos = offset + 40;
  for (int k = 0; k < kMaxExtensionHeaders; ++k) {
    if (next == 0 || next == 43 || next == 60) {  // hop-by-hop, routing, destination options
      if (pos + 2 > n) break;
      const unsigned following = f[pos];
      pos += (std::size_t{f[pos + 1]} + 1) * 8;
      next = following;
    } else if (next == 44) {  // fragment: 8 bytes; only the first fragment carries the upper header
      if (pos + 8 > n) break;
      const unsigned following = f[pos];
      const unsigned fragmentOffset = BE16(f, n, pos + 2) >> 3;
      pos += 8;
      next = following;
      if (fragmentOffset != 0) {
        w.hasPorts = false;
        break;
      }
    } else {
      break;
    }
  }
  w.protocol = static_cast<int>(next);
  w.transport = pos;
  return w;
}

}  // namespace qv
