// The server name of a TLS ClientHello (its server_name extension). Reads a prefix of the client's
// first bytes and says whether more bytes could still bring the name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

enum class HelloResult : unsigned char {
  NeedMore,        // a ClientHello so far, cut before its name (or its end)
  NotClientHello,  // not a ClientHello, or a malformed one
  NoServerName,    // a whole ClientHello without a usable host name
  ServerName,      // `name` holds the host name
};

// Longest ClientHello this reader waits for; a longer one is given up.
inline constexpr std::size_t kMaxClientHello = 16 * 1024;

// A TLS stream from its first byte: handshake records whose fragments carry a ClientHello.
HelloResult ReadTlsClientHello(const std::uint8_t* p, std::size_t n, std::string& name);
// Handshake messages without the record layer (QUIC's CRYPTO stream from offset 0).
HelloResult ReadClientHelloMessage(const std::uint8_t* p, std::size_t n, std::string& name);

// True when the first bytes of a TCP payload can open a TLS stream with a ClientHello.
inline bool LooksLikeClientHello(const std::uint8_t* p, std::size_t n) {
  return n >= 6 && p[0] == 0x16 && p[1] == 0x03 && p[2] <= 0x04 && p[5] == 0x01;
}

}  // namespace qv

namespace qv {

// The random and the offered application protocols (ALPN, in order) of a whole ClientHello message
// (QUIC's CRYPTO stream from offset 0). False when the message is cut, malformed or not a ClientHello.
bool ReadClientHelloRandomAlpn(const std::uint8_t* p, std::size_t n, std::uint8_t random[32],
                               std::vector<std::string>& alpn);

}  // namespace qv
