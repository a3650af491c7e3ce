#include "capture/capture_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "capture/link_layer.h"
#include "capture/pcap_net.h"
#include "capture/protohdr.h"
#include "urls/quic_initial.h"

namespace qv {
namespace {

struct SynScan {
  int linkType = kLinkEthernet;
  std::vector<std::string> found;      // senders of SYNs
  std::vector<std::string> quic;       // senders of QUIC client Initials
};

void Note(std::vector<std::string>& found, std::string text) {
  if (std::find(found.begin(), found.end(), text) == found.end()) found.push_back(std::move(text));
}

bool IsSynWithoutAck(const u_char* bytes, std::size_t n, std::size_t tcp) {
  if (n < tcp + 14) return false;
  const u_char flags = bytes[tcp + 13];
  return (flags & 0x02) && !(flags & 0x10);
}

// A UDP datagram holding a QUIC client Initial whose CRYPTO frames start a ClientHello: its sender
// opens a connection, as the sender of a SYN does. The packet must decrypt with the client's Initial
// keys, so that other UDP traffic that happens to look like an Initial does not count.
bool IsQuicClientInitial(const u_char* bytes, std::size_t n, std::size_t udp) {
  if (n < udp + 8) return false;
  const u_char* payload = bytes + udp + 8;
  const std::size_t length = n - udp - 8;
  if (!LooksLikeQuicInitial(payload, length)) return false;
  for (const QuicInitialPacket& packet : ReadQuicInitials(payload, length))
    for (const QuicCryptoFrame& frame : packet.crypto)
      if (frame.offset == 0 && !frame.data.empty() && frame.data[0] == 0x01) return true;
  return false;
}

// Looks for a TCP segment with SYN set and ACK clear, or a QUIC client Initial, over IPv4 or IPv6,
// wherever the link type puts the network header.
extern "C" void OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* scan = reinterpret_cast<SynScan*>(user);
  const std::size_t n = std::min(h->caplen, h->len);
  const NetworkHeader net = FindNetworkHeader(scan->linkType, bytes, n);
  const std::size_t ip = net.offset;
  if (net.family == NetFamily::IPv4) {
    if (n < ip + 20 || (bytes[ip] >> 4) != 4 || (bytes[ip + 9] != 6 && bytes[ip + 9] != 17)) return;
    const std::size_t ihl = std::size_t{bytes[ip] & 0x0Fu} * 4;
    // A fragment other than the first has no UDP header.
    const bool firstFragment = n >= ip + 8 && ((bytes[ip + 6] & 0x1F) | bytes[ip + 7]) == 0;
    if (ihl < 20) return;
    const bool tcp = bytes[ip + 9] == 6;
    if (tcp ? !IsSynWithoutAck(bytes, n, ip + ihl) : !firstFragment || !IsQuicClientInitial(bytes, n, ip + ihl))
      return;
    Note(tcp ? scan->found : scan->quic, IPToText(std::uint32_t{bytes[ip + 12]} << 24 | std::uint32_t{bytes[ip + 13]} << 16 |
                         std::uint32_t{bytes[ip + 14]} << 8 | bytes[ip + 15]));
  } else if (net.family == NetFamily::IPv6) {
    const IPv6Walk w = WalkIPv6(bytes, n, ip);
    if (!w.src || (bytes[ip] >> 4) != 6 || !w.hasPorts) return;
    const bool tcp = w.protocol == 6;
    if (tcp ? !IsSynWithoutAck(bytes, n, w.transport) : w.protocol != 17 || !IsQuicClientInitial(bytes, n, w.transport))
      return;
    IPv6Bytes src;
    std::memcpy(src.data(), w.src, 16);
    Note(tcp ? scan->found : scan->quic, IPv6ToText(src));
  }
}

}  // namespace

std::vector<std::string> InferLocalAddresses(const PcapNet& net, const std::string& path) {
  std::string error;
  pcap_t* handle = net.OpenOffline(path, error);
  if (!handle) return {};
  SynScan scan;
  scan.linkType = net.LinkType(handle);
  net.pcap_loop(handle, 0, OnFrame, reinterpret_cast<u_char*>(&scan));
  net.Close(handle);
  // A file with SYNs keeps the addresses it always implied; one with QUIC alone gets its clients'.
  return scan.found.empty() ? scan.quic : scan.found;
}

}  // namespace qv
