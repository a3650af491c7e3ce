#include "capture/protohdr.h"

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

}  // namespace qv
