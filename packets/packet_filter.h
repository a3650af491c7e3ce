// The packet filter: six settings and five tests. The settings are handed to the capture thread whole.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "common/lvdata.h"

namespace qv {

struct PacketFilter {
  std::string siteText;     // as the user typed it, cut to the host; shown again by the dialog only
  std::string siteAddress;  // dotted quad, IPv6 text (RFC 5952, as ResolveHost gives it) or empty
  std::string contained;    // empty: no test
  int protocol = 0;         // 0 all, 6 TCP, 17 UDP, 1 ICMP, 80 ISO IP
  int direction = 0;        // 0 all, 1 inbound only, 2 outbound only
  int minLength = 0;        // 0: no test

  // What stopping a session leaves: everything empty but the site text.
  PacketFilter AfterStop() const {
    PacketFilter f;
    f.siteText = siteText;
    return f;
  }

  bool ProtocolPasses(int protocolNumber) const;
  bool DirectionPasses(Direction d) const;
  bool SitePasses(std::string_view remoteAddress) const;
  bool MinLengthPasses(std::string_view payloadText) const;
  bool ContainedPasses(std::string_view payloadText) const;
};

// Protocol caption of a packet row: "ICMP", "TCP", "UDP", "ISO IP" or "其他:   " and the number.
std::string ProtocolCaption(int protocolNumber);

// The filter dialog's reading of its fields.
// Site field: trimmed, cut after "://", before ":" and before "/"; an IPv6 address ("[v6]:port", or
// bare with its colons) is kept whole, without brackets.
std::string CutSiteToHost(std::string_view site);
// The protocol drop-down's index to the protocol setting and back.
int ProtocolFromIndex(int index);
int IndexFromProtocol(int protocol);
// Host list of the dialog: the third "/"-separated field of every address cell, no case-blind repeats.
void AddSiteHost(std::string_view addressCell, std::vector<std::string>& hosts);

}  // namespace qv
