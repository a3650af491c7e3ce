#include "tools/quelvar-capture/capture_source.h"

#include <net/if.h>

#include <cstdio>
#include <string_view>

namespace qv::capture_helper {

namespace {

// Name prefixes that libpcap hands to a capture module other than the network adapters' (USB and
// Bluetooth monitors, netfilter queues and logs, D-Bus; netmap, DPDK and capture cards where the library
// is built with them). An interface may be given such a name (usbmon0, say, by whoever may create
// interfaces), yet the library would open the other source: these are refused whatever exists.
constexpr std::string_view kOtherSources[] = {"usbmon", "bluetooth", "nflog", "nfqueue", "dbus", "netmap",
                                              "vale",   "dpdk",      "dag",   "snf",     "septel"};

}  // namespace

std::string RefuseCaptureSource(const std::string& name) {
  if (name == "any") return {};
  if (name.empty()) return "no adapter named";
  for (const std::string_view prefix : kOtherSources)
    if (std::string_view(name).substr(0, prefix.size()) == prefix) return "not a network adapter";
  // Interface names are at most 15 bytes and hold no '/', ':' nor white space (the kernel would read
  // "lo:x" as lo); the kernel says which exist.
  if (name.size() >= IF_NAMESIZE) return "no such network adapter";
  for (const unsigned char c : name)
    if (c == '/' || c == ':' || c <= ' ' || c == 0x7f) return "no such network adapter";
  if (if_nametoindex(name.c_str()) == 0) return "no such network adapter";
  return {};
}

std::string PrintableName(const std::string& name) {
  std::string out;
  for (const unsigned char c : name) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace qv::capture_helper
