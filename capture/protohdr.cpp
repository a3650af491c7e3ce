#include "capture/protohdr.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

// Appends v (0-65535) in decimal without leading zeros.
void AppendDecimal(std::string& out, unsigned v) {
  char buf[5];
  int len = 0;
  do {
    buf[len++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  char digits[5];
  for (int k = 0; k < len; ++k) digits[k] = buf[len - 1 - k];
  out.append(digits, static_cast<std::size_t>(len));
}

}  // namespace

void AppendIPText(std::string& out, std::uint32_t hostOrder) {
  char buf[16];
  char* p = buf;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned b = (hostOrder >> shift) & 0xFF;
    if (b >= 100) *p++ = static_cast<char>('0' + b / 100);
    if (b >= 10) *p++ = static_cast<char>('0' + b / 10 % 10);
    *p++ = static_cast<char>('0' + b % 10);
    *p++ = '.';
  }
  out.append(buf, static_cast<std::size_t>(p - buf - 1));
}

std::string IPToText(std::uint32_t hostOrder) {
  std::string s;
  s.reserve(15);
  AppendIPText(s, hostOrder);
  return s;
}

void AppendPortText(std::string& out, std::uint16_t port) { AppendDecimal(out, port); }

std::string PortToText(std::uint16_t port) {
  std::string s;
  AppendDecimal(s, port);
  return s;
}

// Exactly four parts of one to three decimal digits, each 0-255, separated by single dots. A part
// may not carry a leading zero ("010" could mean octal to other readers), a sign, or blanks.
bool ParseIPv4(const std::string& text, std::uint32_t& hostOrder) {
  std::uint32_t value = 0;
  std::size_t i = 0;
  const std::size_t n = text.size();
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= n || text[i] != '.') return false;
      ++i;
    }
    const std::size_t start = i;
    unsigned v = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || v > 255 || (digits > 1 && text[start] == '0')) return false;
    value = (value << 8) | v;
  }
  if (i != n) return false;
  hostOrder = value;
  return true;
}

void AppendIPv6Text(std::string& out, const std::uint8_t* b) {
  unsigned groups[8];
  for (int g = 0; g < 8; ++g) groups[g] = unsigned{b[2 * g]} << 8 | b[2 * g + 1];
  // ::ffff:a.b.c.d
  const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
                      groups[5] == 0xFFFF;
  const int hexGroups = mapped ? 6 : 8;
  // The longest run of zero groups; a single zero group is not shortened.
  int bestStart = -1, bestLength = 0;
  for (int g = 0; g < hexGroups;) {
    if (groups[g] != 0) {
      ++g;
      continue;
    }
    int end = g;
    while (end < hexGroups && groups[end] == 0) ++end;
    if (end - g > bestLength) bestStart = g, bestLength = end - g;
    g = end;
  }
  if (bestLength < 2) bestStart = -1;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int g = 0; g < hexGroups; ++g) {
    if (g == bestStart) {
      out += "::";
      g += bestLength - 1;
      continue;
    }
    if (g > 0 && g != bestStart + bestLength) out += ':';
    const unsigned v = groups[g];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (v >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        out += kHex[digit];
        started = true;
      }
    }
  }
  if (mapped) {
    if (bestStart + bestLength != hexGroups) out += ':';
    AppendIPText(out, std::uint32_t{b[12]} << 24 | std::uint32_t{b[13]} << 16 | std::uint32_t{b[14]} << 8 | b[15]);
  }
}

std::string IPv6ToText(const IPv6Bytes& bytes) {
  std::string s;
  AppendIPv6Text(s, bytes.data());
  return s;
}

bool ParseIPv6(std::string_view text, IPv6Bytes& out) {
  // inet_pton wants a terminated string; the longest IPv6 text is 45 characters.
  char buf[64];
  if (text.empty() || text.size() >= sizeof buf) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  IPv6Bytes parsed;
  if (inet_pton(AF_INET6, buf, parsed.data()) != 1) return false;
  out = parsed;
  return true;
}

bool LocalAddressSet::Has(const std::uint8_t* bytes) const {
  for (const IPv6Bytes& a : v6)
    if (std::memcmp(a.data(), bytes, 16) == 0) return true;
  return false;
}

LocalAddressSet ParseLocalAddresses(const std::vector<std::string>& texts) {
  LocalAddressSet set;
  for (const auto& t : texts) {
    std::uint32_t v4;
    IPv6Bytes v6;
    if (ParseIPv4(t, v4)) set.v4.push_back(v4);
    else if (ParseIPv6(t, v6)) set.v6.push_back(v6);
  }
  return set;
}

}  // namespace qv
