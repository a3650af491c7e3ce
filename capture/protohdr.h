// Number-to-text helpers for addresses and ports.
#pragma once
#include <cstdint>
#include <string>

namespace qv {

// An IPv4 address in host order as dotted-quad text, most significant byte first.
std::string IPToText(std::uint32_t hostOrder);
// Appends the same text to out (no allocation when out has room).
void AppendIPText(std::string& out, std::uint32_t hostOrder);
std::string PortToText(std::uint16_t port);
void AppendPortText(std::string& out, std::uint16_t port);
// Parses dotted-quad text strictly; false for anything else.
bool ParseIPv4(const std::string& text, std::uint32_t& hostOrder);

}  // namespace qv
