// QUIC version 1 client Initial packets: their protection is removed with the keys that every
// observer can derive from the packet's destination connection ID, and their CRYPTO frames (which
// carry the TLS ClientHello) are handed out. OpenSSL's libcrypto does the HKDF and AES work.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv {

struct QuicCryptoFrame {
  std::uint64_t offset = 0;
  std::string data;
};

struct QuicInitialPacket {
  std::string dcid;  // destination connection ID, the connection's identity for its Initial packets
  std::vector<QuicCryptoFrame> crypto;
};

// The first byte and the version of a long-header Initial packet of QUIC version 1.
inline bool LooksLikeQuicInitial(const std::uint8_t* p, std::size_t n) {
  return n >= 7 && (p[0] & 0xF0) == 0xC0 && p[1] == 0 && p[2] == 0 && p[3] == 0 && p[4] == 1;
}

// The client Initial packets among the packets coalesced in one UDP datagram. Packets that do not
// decrypt with the client's keys (a server's Initial, a damaged packet, anything else) give nothing.
std::vector<QuicInitialPacket> ReadQuicInitials(const std::uint8_t* p, std::size_t n);

struct QuicInitialKeys {
  std::uint8_t key[16];
  std::uint8_t iv[12];
  std::uint8_t hp[16];
};
// The client's Initial keys for a destination connection ID; false when libcrypto fails.
bool DeriveClientInitialKeys(const std::uint8_t* dcid, std::size_t length, QuicInitialKeys& out);

// A variable-length integer at `pos` (moved past it); false when it does not fit before `end`.
bool QuicVarint(const std::uint8_t* p, std::size_t end, std::size_t& pos, std::uint64_t& v);

// The CRYPTO frames of a decrypted Initial or Handshake packet, each handed to `crypto` (its offset in
// the crypto stream and its bytes); PADDING, PING and ACK are passed over, and any other frame ends
// the reading (those packets carry no others).
void ForEachCryptoFrame(const std::uint8_t* p, std::size_t size,
                        const std::function<void(std::uint64_t offset, const std::uint8_t* data,
                                                 std::size_t length)>& crypto);

}  // namespace qv
