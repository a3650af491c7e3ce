// The secrets a browser writes to its key log, as the TLS and QUIC readers ask for them: by kind and by
// the random of the connection's ClientHello.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace qv::tls {

using ClientRandom = std::array<std::uint8_t, 32>;

enum class SecretKind : unsigned char {
  Tls12Master,      // CLIENT_RANDOM: TLS 1.2's master secret
  ClientHandshake,  // CLIENT_HANDSHAKE_TRAFFIC_SECRET
  ServerHandshake,  // SERVER_HANDSHAKE_TRAFFIC_SECRET
  ClientTraffic0,   // CLIENT_TRAFFIC_SECRET_0
  ServerTraffic0,   // SERVER_TRAFFIC_SECRET_0
};

class SecretLookup {
 public:
  virtual ~SecretLookup() = default;
  // The secret of `kind` for the connection whose ClientHello carried `random` (its bytes in `secret`);
  // false while none is known.
  virtual bool Find(SecretKind kind, const ClientRandom& random, std::string& secret) const = 0;
};

}  // namespace qv::tls
