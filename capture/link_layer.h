// Where a frame's network header starts, by the capture's link type, and the IPv6 header walk.
// Every reader stays within the bytes given; a header cut short reads as "not there".
#pragma once
#include <cstddef>
#include <cstdint>

namespace qv {

// Link types as libpcap's pcap_datalink reports them.
inline constexpr int kLinkNull = 0;        // BSD loopback: 4-byte address family, host byte order
inline constexpr int kLinkEthernet = 1;
inline constexpr int kLinkRaw = 12;        // raw IP (also 14 on some systems, 101 in capture files)
inline constexpr int kLinkRawOpenBsd = 14;
inline constexpr int kLinkRawFile = 101;
inline constexpr int kLinkLoop = 108;      // OpenBSD loopback: the family in network byte order
inline constexpr int kLinkLinuxSll = 113;  // Linux cooked v1, 16-byte header
inline constexpr int kLinkIPv4 = 228;
inline constexpr int kLinkIPv6 = 229;
inline constexpr int kLinkLinuxSll2 = 276;  // Linux cooked v2, 20-byte header

enum class NetFamily : unsigned char { None, IPv4, IPv6 };

// What the link header says about the frame.
struct NetworkHeader {
  NetFamily family = NetFamily::None;  // None: the link header names no IP (ARP, a cut frame, ...)
  std::size_t offset = 0;              // where the network header starts (for None: where it would)
  std::size_t tagBytes = 0;            // 802.1Q / 802.1ad tags skipped before the EtherType
  bool pppoe = false;                  // carried in a PPPoE session (Ethernet and cooked links)
};

// True for the link types FindNetworkHeader reads.
bool IsKnownLinkType(int linkType);
// True when frames are read as Ethernet, with the fixed Ethernet/PPPoE framing: Ethernet itself, and
// link types this reader does not know (read as Ethernet, as every link type was before).
inline bool IsEthernetLink(int linkType) { return linkType == kLinkEthernet || !IsKnownLinkType(linkType); }

NetworkHeader FindNetworkHeaderSlow(int linkType, const std::uint8_t* frame, std::size_t size);
// The common case, plain IPv4 over Ethernet, without a call.
inline NetworkHeader FindNetworkHeader(int linkType, const std::uint8_t* frame, std::size_t size) {
  if (linkType == kLinkEthernet && size >= 14 && frame[12] == 0x08 && frame[13] == 0x00) {
    NetworkHeader h;
    h.family = NetFamily::IPv4;
    h.offset = 14;
    return h;
  }
  return FindNetworkHeaderSlow(linkType, frame, size);
}

// The IPv6 header at `offset`, with hop-by-hop, routing, destination-options and fragment headers
// skipped.
struct IPv6Walk {
  const std::uint8_t* src = nullptr;  // 16 bytes each; null when the fixed header is cut short
  const std::uint8_t* dst = nullptr;
  int protocol = 59;                  // the upper-layer protocol (59: no next header)
  std::size_t transport = 0;          // where the upper-layer header (or fragment data) starts
  bool hasPorts = true;               // false in a fragment other than the first
};
IPv6Walk WalkIPv6(const std::uint8_t* frame, std::size_t size, std::size_t offset);

}  // namespace qv
