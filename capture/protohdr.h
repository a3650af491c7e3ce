// Number-to-text helpers for addresses and ports.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// An IPv4 address in host order as dotted-quad text, most significant byte first.
std::string IPToText(std::uint32_t hostOrder);
// Appends the same text to out (no allocation when out has room).
void AppendIPText(std::string& out, std::uint32_t hostOrder);
std::string PortToText(std::uint16_t port);
void AppendPortText(std::string& out, std::uint16_t port);
// Parses dotted-quad text strictly; false for anything else.
bool ParseIPv4(const std::string& text, std::uint32_t& hostOrder);

// An IPv6 address, its 16 bytes in network order.
using IPv6Bytes = std::array<std::uint8_t, 16>;

// IPv6 text as RFC 5952 writes it: lower-case hexadecimal groups without leading zeros, the longest
// run of two or more zero groups (the first of equally long runs) written as "::", and an
// IPv4-mapped address (::ffff:0:0/96) ending in its dotted quad.
void AppendIPv6Text(std::string& out, const std::uint8_t* bytes);
std::string IPv6ToText(const IPv6Bytes& bytes);
// Any IPv6 text that the system's inet_pton accepts (no brackets, no zone); false for anything else.
bool ParseIPv6(std::string_view text, IPv6Bytes& out);

// A local address of either family, as the local address list holds them.
struct LocalAddressSet {
  std::vector<std::uint32_t> v4;
  std::vector<IPv6Bytes> v6;
  bool Has(std::uint32_t address) const {
    for (std::uint32_t a : v4)
      if (a == address) return true;
    return false;
  }
  bool Has(const std::uint8_t* v6Bytes) const;
};
// Parses each text as a dotted quad or as IPv6 text; other texts are left out.
LocalAddressSet ParseLocalAddresses(const std::vector<std::string>& texts);

}  // namespace qv
