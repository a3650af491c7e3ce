#include "tls/crypto.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>

#include <climits>
#include <cstring>
#include <memory>

#include "urls/crypto_binding.h"

namespace qv::tls {
namespace {

struct KdfDeleter {
  void operator()(EVP_KDF_CTX* c) const { Crypto()->EVP_KDF_CTX_free(c); }
};
struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { Crypto()->EVP_CIPHER_CTX_free(c); }
};

const char* DigestName(Hash hash) {
  switch (hash) {
    case Hash::Sha1: return "SHA1";
    case Hash::Sha256: return "SHA256";
    case Hash::Sha384: return "SHA384";
  }
  return "SHA256";
}

const EVP_MD* Digest(const CryptoEntryPoints* c, Hash hash) {
  switch (hash) {
    case Hash::Sha1: return c->EVP_sha1();
    case Hash::Sha256: return c->EVP_sha256();
    case Hash::Sha384: return c->EVP_sha384();
  }
  return nullptr;
}

// A fetched KDF, shared between threads (fetched algorithms may be).
EVP_KDF* FetchKdf(const CryptoEntryPoints* c, const char* name) { return c->EVP_KDF_fetch(nullptr, name, nullptr); }

bool Fits(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

}  // namespace

std::size_t HashLength(Hash hash) {
  switch (hash) {
    case Hash::Sha1: return 20;
    case Hash::Sha256: return 32;
    case Hash::Sha384: return 48;
  }
  return 32;
}

bool ExpandLabel(Hash hash, const std::uint8_t* secret, std::size_t secretLength, std::string_view label,
                 const std::uint8_t* context, std::size_t contextLength, std::uint8_t* out, std::size_t outLength) {
  if (outLength > 255 || label.size() > 249 || contextLength > 255) return false;
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  static EVP_KDF* const kdf = FetchKdf(c, "HKDF");
  if (kdf == nullptr) return false;
  std::uint8_t info[2 + 1 + 255 + 1 + 255];
  std::size_t i = 0;
  info[i++] = static_cast<std::uint8_t>(outLength >> 8);
  info[i++] = static_cast<std::uint8_t>(outLength);
  info[i++] = static_cast<std::uint8_t>(6 + label.size());
  std::memcpy(info + i, "tls13 ", 6);
  i += 6;
  std::memcpy(info + i, label.data(), label.size());
  i += label.size();
  info[i++] = static_cast<std::uint8_t>(contextLength);
  if (contextLength > 0) std::memcpy(info + i, context, contextLength);
  i += contextLength;

  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(c->EVP_KDF_CTX_new(kdf));
  if (!ctx) return false;
  int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
  char digest[8];
  std::strcpy(digest, DigestName(hash));
  OSSL_PARAM params[5];
  params[0] = c->OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[1] = c->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[2] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret), secretLength);
  params[3] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, i);
  params[4] = c->OSSL_PARAM_construct_end();
  return c->EVP_KDF_derive(ctx.get(), out, outLength, params) == 1;
}

std::size_t AeadKeyLength(Aead aead) { return aead == Aead::Aes128Gcm ? 16 : 32; }

AeadOpener::~AeadOpener() {
  if (ctx_ != nullptr) Crypto()->EVP_CIPHER_CTX_free(ctx_);
}

bool AeadOpener::Init(Aead aead, const std::uint8_t* key) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  // The same cipher with another key (TLS 1.3's next key, a KeyUpdate): the context is kept.
  if (ctx_ != nullptr && aead == aead_) {
    if (c->EVP_DecryptInit_ex(ctx_, nullptr, nullptr, key, nullptr) == 1) return true;
  }
  if (ctx_ != nullptr) {
    c->EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  const EVP_CIPHER* cipher = aead == Aead::Aes128Gcm   ? c->EVP_aes_128_gcm()
                             : aead == Aead::Aes256Gcm ? c->EVP_aes_256_gcm()
                                                       : c->EVP_chacha20_poly1305();
  if (!ctx || cipher == nullptr || c->EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      c->EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(kAeadIvLength), nullptr) != 1 ||
      c->EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, nullptr) != 1)
    return false;
  ctx_ = ctx.release();
  aead_ = aead;
  return true;
}

bool AeadOpener::Open(const std::uint8_t nonce[kAeadIvLength], const std::uint8_t* aad, std::size_t aadLength,
                      const std::uint8_t* sealed, std::size_t sealedLength, std::uint8_t* plain) {
  if (ctx_ == nullptr || sealedLength < kAeadTagLength || !Fits(sealedLength) || !Fits(aadLength)) return false;
  const CryptoEntryPoints* c = Crypto();
  const std::size_t textLength = sealedLength - kAeadTagLength;
  std::uint8_t tag[kAeadTagLength];
  std::memcpy(tag, sealed + textLength, kAeadTagLength);  // `plain` may overwrite `sealed`
  int len = 0;
  if (c->EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) != 1) return false;
  if (aadLength > 0 && c->EVP_DecryptUpdate(ctx_, nullptr, &len, aad, static_cast<int>(aadLength)) != 1) return false;
  if (textLength > 0 &&
      c->EVP_DecryptUpdate(ctx_, plain, &len, sealed, static_cast<int>(textLength)) != 1)
    return false;
  if (c->EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kAeadTagLength), tag) != 1) return false;
  int finalLength = 0;
  std::uint8_t sink[16];
  return c->EVP_DecryptFinal_ex(ctx_, textLength > 0 ? plain + textLength : sink, &finalLength) == 1;
}

void MakeNonce(const std::uint8_t iv[kAeadIvLength], std::uint64_t sequence, std::uint8_t nonce[kAeadIvLength]) {
  std::memcpy(nonce, iv, kAeadIvLength);
  for (int k = 0; k < 8; ++k) nonce[kAeadIvLength - 1 - k] ^= static_cast<std::uint8_t>(sequence >> (8 * k));
}

bool HeaderProtectionMask(Aead aead, const std::uint8_t* hpKey, const std::uint8_t sample[16], std::uint8_t mask[5]) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  int len = 0;
  if (aead == Aead::Chacha20Poly1305) {
    // ChaCha20 with the sample as its counter (first 4 bytes) and nonce: the mask is the key stream.
    static const std::uint8_t kZeros[5] = {};
    return c->EVP_EncryptInit_ex(ctx.get(), c->EVP_chacha20(), nullptr, hpKey, sample) == 1 &&
           c->EVP_EncryptUpdate(ctx.get(), mask, &len, kZeros, 5) == 1 && len == 5;
  }
  std::uint8_t block[16];
  const EVP_CIPHER* ecb = aead == Aead::Aes128Gcm ? c->EVP_aes_128_ecb() : c->EVP_aes_256_ecb();
  if (c->EVP_EncryptInit_ex(ctx.get(), ecb, nullptr, hpKey, nullptr) != 1 ||
      c->EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      c->EVP_EncryptUpdate(ctx.get(), block, &len, sample, 16) != 1 || len != 16)
    return false;
  std::memcpy(mask, block, 5);
  return true;
}

bool Tls12Prf(Hash hash, const std::uint8_t* secret, std::size_t secretLength, std::string_view label,
              const std::uint8_t* seed, std::size_t seedLength, std::uint8_t* out, std::size_t outLength) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr || label.size() + seedLength > 1024) return false;
  static EVP_KDF* const kdf = FetchKdf(c, "TLS1-PRF");
  if (kdf == nullptr) return false;
  std::uint8_t joined[1024];
  std::memcpy(joined, label.data(), label.size());
  if (seedLength > 0) std::memcpy(joined + label.size(), seed, seedLength);
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(c->EVP_KDF_CTX_new(kdf));
  if (!ctx) return false;
  char digest[8];
  std::strcpy(digest, DigestName(hash));
  OSSL_PARAM params[4];
  params[0] = c->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[1] =
      c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<std::uint8_t*>(secret), secretLength);
  params[2] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, joined, label.size() + seedLength);
  params[3] = c->OSSL_PARAM_construct_end();
  return c->EVP_KDF_derive(ctx.get(), out, outLength, params) == 1;
}

bool Hmac(Hash hash, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data, std::size_t dataLength,
          std::uint8_t* out) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr || !Fits(keyLength)) return false;
  unsigned int length = 0;
  return c->HMAC(Digest(c, hash), key, static_cast<int>(keyLength), data, dataLength, out, &length) != nullptr &&
         length == HashLength(hash);
}

bool CbcDecrypt(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t iv[16], const std::uint8_t* in,
                std::size_t length, std::uint8_t* out) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr || (keyLength != 16 && keyLength != 32) || length % 16 != 0 || !Fits(length)) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  int len = 0;
  return ctx &&
         c->EVP_DecryptInit_ex(ctx.get(), keyLength == 16 ? c->EVP_aes_128_cbc() : c->EVP_aes_256_cbc(), nullptr, key,
                               iv) == 1 &&
         c->EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         c->EVP_DecryptUpdate(ctx.get(), out, &len, in, static_cast<int>(length)) == 1 &&
         static_cast<std::size_t>(len) == length;
}

}  // namespace qv::tls
