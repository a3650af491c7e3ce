#include "packets/packet_filter.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace qv {

namespace {

// First occurrence of `needle` in `hay` with ASCII letters of both folded to lower case. Works on the
// texts in place, so testing a frame allocates nothing: candidates are the places where either
// spelling of the needle's first byte occurs.
bool ContainsCaseBlind(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  if (hay.size() < needle.size()) return false;
  const std::size_t last = hay.size() - needle.size();
  const char lower = LowerByte(needle[0]);
  const char upper = (lower >= 'a' && lower <= 'z') ? static_cast<char>(lower - 32) : lower;
  std::size_t at = 0;
  while (at <= last) {
    const char* base = hay.data() + at;
    const std::size_t span = last - at + 1;
    const char* pl = static_cast<const char*>(std::memchr(base, lower, span));
    const char* pu = upper == lower ? nullptr : static_cast<const char*>(std::memchr(base, upper, span));
    const char* p = (pl && pu) ? (pl < pu ? pl : pu) : (pl ? pl : pu);
    if (!p) return false;
    const std::size_t cand = static_cast<std::size_t>(p - hay.data());
    std::size_t k = 1;
    while (k < needle.size() && LowerByte(hay[cand + k]) == LowerByte(needle[k])) ++k;
    if (k == needle.size()) return true;
    at = cand + 1;
  }
  return false;
}

bool EqualCaseBlind(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerByte(a[i]) != LowerByte(b[i])) return false;
  return true;
}

// Blanks and control characters end a field of the host list.
bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

bool PacketFilter::ProtocolPasses(int protocolNumber) const {
  return protocol == 0 || protocolNumber == protocol;
}

bool PacketFilter::DirectionPasses(Direction d) const {
  if (direction == 1) return d != Direction::Outbound;
  if (direction == 2) return d != Direction::Inbound;
  return true;
}

bool PacketFilter::SitePasses(std::string_view remoteAddress) const {
  if (siteAddress.empty()) return true;
  // An IPv6 site (its text holds ":") is one address: the remote address must be that address.
  if (siteAddress.find(':') != std::string::npos) return remoteAddress == siteAddress;
  // The remote address is looked for inside the site address, so 10.0.0.1 passes a site of 10.0.0.15.
  return siteAddress.find(remoteAddress) != std::string::npos;
}

bool PacketFilter::MinLengthPasses(std::string_view payloadText) const {
  return minLength <= 0 || payloadText.size() >= static_cast<std::size_t>(minLength);
}

bool PacketFilter::ContainedPasses(std::string_view payloadText) const {
  return contained.empty() || ContainsCaseBlind(payloadText, contained);
}

std::string ProtocolCaption(int protocolNumber) {
  switch (protocolNumber) {
    case 1: return "ICMP";
    case 6: return "TCP";
    case 17: return "UDP";
    case 80: return "ISO IP";
    default: return "\xC6\xE4\xCB\xFB:   " + std::to_string(protocolNumber);  // 其他:
  }
}

std::string CutSiteToHost(std::string_view site) {
  std::string_view s = TrimView(site);
  if (const auto p = s.find("://"); p != std::string_view::npos) s.remove_prefix(p + 3);
  // An IPv6 address: in brackets (as in an address, with or without a port after them), or bare
  // (more than one ":" before any "/"). Its colons are not a port's.
  if (!s.empty() && s.front() == '[') {
    if (const auto close = s.find(']'); close != std::string_view::npos) return std::string(s.substr(1, close - 1));
  }
  const std::string_view beforeSlash = s.substr(0, s.find('/'));
  if (std::count(beforeSlash.begin(), beforeSlash.end(), ':') > 1) return std::string(beforeSlash);
  if (const auto p = s.find(':'); p != std::string_view::npos) s = s.substr(0, p);
  if (const auto p = s.find('/'); p != std::string_view::npos) s = s.substr(0, p);
  return std::string(s);
}

namespace {
constexpr int kProtocolByIndex[] = {0, 6, 17, 1, 80};
constexpr int kProtocolEntries = sizeof(kProtocolByIndex) / sizeof(kProtocolByIndex[0]);
}  // namespace

int ProtocolFromIndex(int index) {
  return (index >= 0 && index < kProtocolEntries) ? kProtocolByIndex[index] : 0;
}

int IndexFromProtocol(int protocol) {
  for (int i = 0; i < kProtocolEntries; ++i)
    if (kProtocolByIndex[i] == protocol) return i;
  return 0;
}

// Fields of an address cell: "/" separates them; blanks and control characters also end a field, and
// a run of them counts as one separator; a field that begins with a double quote runs to the next
// double quote. Two "/" in a row enclose an empty field, and a "/" at the very end is followed by one,
// so "http://host/path" reads "http:", "", "host", "path" and the third field is the host.
void AddSiteHost(std::string_view cell, std::vector<std::string>& hosts) {
  std::size_t i = 0;
  const std::size_t n = cell.size();
  auto skipBlanks = [&] {
    while (i < n && IsBlankOrControl(cell[i])) ++i;
  };
  int count = 0;
  std::string_view third;
  skipBlanks();
  while (i < n) {
    std::string_view field;
    if (cell[i] == '"') {
      const std::size_t close = cell.find('"', i + 1);
      const std::size_t end = close == std::string_view::npos ? n : close;
      field = cell.substr(i + 1, end - i - 1);
      i = close == std::string_view::npos ? n : close + 1;
    } else {
      const std::size_t start = i;
      while (i < n && !IsBlankOrControl(cell[i]) && cell[i] != '/') ++i;
      field = cell.substr(start, i - start);
    }
    if (++count == 3) third = field;
    skipBlanks();
    if (i < n && cell[i] == '/') {
      if (i + 1 == n && ++count == 3) third = std::string_view();
      ++i;
      skipBlanks();
    }
    if (count >= 3) break;
  }
  if (count < 3) return;
  for (const std::string& h : hosts)
    if (EqualCaseBlind(h, third)) return;
  hosts.emplace_back(third);
}

}  // namespace qv
