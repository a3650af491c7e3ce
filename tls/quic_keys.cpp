#include "tls/quic_keys.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>

#include <cstring>

#include "urls/crypto_binding.h"

namespace qv::tls {
namespace {

// The salt of QUIC version 1's Initial secrets.
constexpr std::uint8_t kInitialSalt[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                           0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};

struct KdfDeleter {
  void operator()(EVP_KDF_CTX* c) const { Crypto()->EVP_KDF_CTX_free(c); }
};

// HKDF-Extract with SHA-256.
bool Extract(const std::uint8_t* key, std::size_t keyLength, std::uint8_t out[32]) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  static EVP_KDF* const kdf = c->EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (kdf == nullptr) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(c->EVP_KDF_CTX_new(kdf));
  if (!ctx) return false;
  int mode = EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  params[0] = c->OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[1] = c->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[2] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key), keyLength);
  params[3] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(kInitialSalt),
                                                    sizeof kInitialSalt);
  params[4] = c->OSSL_PARAM_construct_end();
  return c->EVP_KDF_derive(ctx.get(), out, 32, params) == 1;
}

bool Label(Hash hash, const std::uint8_t* secret, const char* label, std::uint8_t* out, std::size_t length) {
  return ExpandLabel(hash, secret, HashLength(hash), label, nullptr, 0, out, length);
}

}  // namespace

bool QuicKeys::FromSecret(Aead a, Hash h, const std::uint8_t* s) {
  aead = a;
  hash = h;
  const std::size_t keyLength = AeadKeyLength(a);
  std::memcpy(secret, s, HashLength(h));
  std::uint8_t key[32];
  if (!Label(h, secret, "quic key", key, keyLength) || !Label(h, secret, "quic iv", iv, kAeadIvLength) ||
      !Label(h, secret, "quic hp", hp, keyLength))
    return false;
  opener = std::make_unique<AeadOpener>();
  return opener->Init(a, key);
}

bool QuicKeys::Next(QuicKeys& next) const {
  std::uint8_t updated[48];
  if (!Label(hash, secret, "quic ku", updated, HashLength(hash))) return false;
  std::uint8_t hpKey[32];
  std::memcpy(hpKey, hp, sizeof hp);
  if (!next.FromSecret(aead, hash, updated)) return false;
  std::memcpy(next.hp, hpKey, sizeof hpKey);
  return true;
}

bool DeriveInitialKeys(const std::uint8_t* dcid, std::size_t length, bool server, QuicKeys& out) {
  std::uint8_t initial[32], secret[32];
  return length <= 20 && Extract(dcid, length, initial) &&
         Label(Hash::Sha256, initial, server ? "server in" : "client in", secret, 32) &&
         out.FromSecret(Aead::Aes128Gcm, Hash::Sha256, secret);
}

bool SuiteAead(unsigned suite, Aead& aead, Hash& hash) {
  switch (suite) {
    case 0x1301: aead = Aead::Aes128Gcm; hash = Hash::Sha256; return true;
    case 0x1302: aead = Aead::Aes256Gcm; hash = Hash::Sha384; return true;
    case 0x1303: aead = Aead::Chacha20Poly1305; hash = Hash::Sha256; return true;
    default: return false;
  }
}

}  // namespace qv::tls
