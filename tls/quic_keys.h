// QUIC version 1 packet protection keys: the Initial keys every observer derives from the client's
// destination connection ID, and the keys of a TLS traffic secret (with its key updates).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tls/crypto.h"

namespace qv::tls {

// One direction's keys at one key phase: AEAD opener, IV and header-protection key.
struct QuicKeys {
  Aead aead = Aead::Aes128Gcm;
  Hash hash = Hash::Sha256;
  std::uint8_t secret[48] = {};  // the traffic secret these keys come from (for "quic ku")
  std::uint8_t iv[kAeadIvLength] = {};
  std::uint8_t hp[32] = {};
  std::unique_ptr<AeadOpener> opener;

  // Keys of a traffic secret (HashLength(hash) bytes); false when libcrypto fails.
  bool FromSecret(Aead aead, Hash hash, const std::uint8_t* secret);
  // The next key phase's keys: the secret is updated with "quic ku", the header-protection key stays.
  bool Next(QuicKeys& next) const;
};

// The Initial keys of the client ("client in") or the server ("server in") for the client's
// destination connection ID (at most 20 bytes).
bool DeriveInitialKeys(const std::uint8_t* dcid, std::size_t length, bool server, QuicKeys& out);

// The cipher and hash of a TLS 1.3 cipher suite (0x1301..0x1303); false for any other.
bool SuiteAead(unsigned suite, Aead& aead, Hash& hash);

}  // namespace qv::tls
