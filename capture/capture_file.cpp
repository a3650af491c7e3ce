#include "capture/capture_file.h"

#include <algorithm>
#include <cstdint>

#include "capture/pcap_net.h"
#include "capture/protohdr.h"

namespace qv {
namespace {

struct SynScan {
  std::vector<std::uint32_t> found;
};

std::uint32_t BE32(const u_char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Looks for an IPv4 TCP segment with SYN set and ACK clear, behind Ethernet or PPPoE framing.
extern "C" void OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* scan = reinterpret_cast<SynScan*>(user);
  const std::size_t n = std::min(h->caplen, h->len);
  if (n < 14) return;
  std::size_t ip;
  const unsigned etherType = unsigned{bytes[12]} << 8 | bytes[13];
  if (etherType == 0x0800) {
    ip = 14;
  } else if (etherType == 0x8864 && n >= 22 && bytes[20] == 0x00 && bytes[21] == 0x21) {
    ip = 22;
  } else {
    return;
  }
  if (n < ip + 20 || (bytes[ip] >> 4) != 4 || bytes[ip + 9] != 6) return;
  const std::size_t ihl = std::size_t{bytes[ip] & 0x0Fu} * 4;
  if (ihl < 20 || n < ip + ihl + 14) return;
  const u_char flags = bytes[ip + ihl + 13];
  if ((flags & 0x02) && !(flags & 0x10)) {
    const std::uint32_t src = BE32(bytes + ip + 12);
    if (std::find(scan->found.begin(), scan->found.end(), src) == scan->found.end()) scan->found.push_back(src);
  }
}

}  // namespace

std::vector<std::string> InferLocalAddresses(const PcapNet& net, const std::string& path) {
  std::string error;
  pcap_t* handle = net.OpenOffline(path, error);
  if (!handle) return {};
  SynScan scan;
  net.pcap_loop(handle, 0, OnFrame, reinterpret_cast<u_char*>(&scan));
  net.Close(handle);
  std::vector<std::string> out;
  for (std::uint32_t a : scan.found) out.push_back(IPToText(a));
  return out;
}

}  // namespace qv
