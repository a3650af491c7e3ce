#include "tls/crypto.h"

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <cstring>
#include <memory>

#include "urls/crypto_binding.h"

namespace qv::tls {
namespace {

struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { Crypto()->EVP_CIPHER_CTX_free(c); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* c) const { Crypto()->EVP_MD_CTX_free(c); }
};

// The ciphers and digests, fetched once and shared between threads (fetched algorithms may be). Set up
// with a fetched algorithm, a context does not look it up by name again, as it does with the objects of
// EVP_aes_128_gcm() and the like; those stand in only when a fetch fails.
struct Algorithms {
  const EVP_CIPHER* aes128Gcm = nullptr;
  const EVP_CIPHER* aes256Gcm = nullptr;
  const EVP_CIPHER* chacha20Poly1305 = nullptr;
  const EVP_CIPHER* chacha20 = nullptr;
  const EVP_CIPHER* aes128Ecb = nullptr;
  const EVP_CIPHER* aes256Ecb = nullptr;
  const EVP_CIPHER* aes128Cbc = nullptr;
  const EVP_CIPHER* aes256Cbc = nullptr;
  const EVP_MD* sha1 = nullptr;
  const EVP_MD* sha256 = nullptr;
  const EVP_MD* sha384 = nullptr;
};

const Algorithms& Fetched(const CryptoEntryPoints* c) {
  static const Algorithms algorithms = [c] {
    Algorithms a;
    const auto cipher = [c](const char* name, const EVP_CIPHER* (*fallback)()) -> const EVP_CIPHER* {
      const EVP_CIPHER* fetched = c->EVP_CIPHER_fetch(nullptr, name, nullptr);
      return fetched != nullptr ? fetched : fallback();
    };
    const auto digest = [c](const char* name, const EVP_MD* (*fallback)()) -> const EVP_MD* {
      const EVP_MD* fetched = c->EVP_MD_fetch(nullptr, name, nullptr);
      return fetched != nullptr ? fetched : fallback();
    };
    a.aes128Gcm = cipher("AES-128-GCM", c->EVP_aes_128_gcm);
    a.aes256Gcm = cipher("AES-256-GCM", c->EVP_aes_256_gcm);
    a.chacha20Poly1305 = cipher("ChaCha20-Poly1305", c->EVP_chacha20_poly1305);
    a.chacha20 = cipher("ChaCha20", c->EVP_chacha20);
    a.aes128Ecb = cipher("AES-128-ECB", c->EVP_aes_128_ecb);
    a.aes256Ecb = cipher("AES-256-ECB", c->EVP_aes_256_ecb);
    a.aes128Cbc = cipher("AES-128-CBC", c->EVP_aes_128_cbc);
    a.aes256Cbc = cipher("AES-256-CBC", c->EVP_aes_256_cbc);
    a.sha1 = digest("SHA1", c->EVP_sha1);
    a.sha256 = digest("SHA256", c->EVP_sha256);
    a.sha384 = digest("SHA384", c->EVP_sha384);
    return a;
  }();
  return algorithms;
}

const EVP_MD* Digest(const CryptoEntryPoints* c, Hash hash) {
  const Algorithms& a = Fetched(c);
  switch (hash) {
    case Hash::Sha1: return a.sha1;
    case Hash::Sha256: return a.sha256;
    case Hash::Sha384: return a.sha384;
  }
  return nullptr;
}

std::size_t BlockLength(Hash hash) { return hash == Hash::Sha384 ? 128 : 64; }

bool Fits(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

// HMAC (RFC 2104) over the pieces joined, on the fetched EVP digest; `out` gets HashLength(hash) bytes.
// `key` is at most one block long.
bool EvpHmac(const CryptoEntryPoints* c, Hash hash, const std::uint8_t* key, std::size_t keyLength,
             std::initializer_list<ByteSpan> pieces, std::uint8_t* out) {
  const EVP_MD* md = Digest(c, hash);
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(c->EVP_MD_CTX_new());
  if (md == nullptr || !ctx) return false;
  const std::size_t block = BlockLength(hash), hl = HashLength(hash);
  std::uint8_t pad[128] = {}, inner[48];
  unsigned int length = 0;
  if (keyLength > 0) std::memcpy(pad, key, keyLength);
  for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36;
  bool ok = c->EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 && c->EVP_DigestUpdate(ctx.get(), pad, block) == 1;
  for (const ByteSpan& piece : pieces)
    if (ok && piece.length > 0) ok = c->EVP_DigestUpdate(ctx.get(), piece.data, piece.length) == 1;
  ok = ok && c->EVP_DigestFinal_ex(ctx.get(), inner, &length) == 1 && length == hl;
  for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36 ^ 0x5C;
  ok = ok && c->EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 && c->EVP_DigestUpdate(ctx.get(), pad, block) == 1 &&
       c->EVP_DigestUpdate(ctx.get(), inner, hl) == 1 && c->EVP_DigestFinal_ex(ctx.get(), out, &length) == 1 &&
       length == hl;
  c->OPENSSL_cleanse(pad, sizeof pad);
  c->OPENSSL_cleanse(inner, sizeof inner);
  return ok;
}

bool EvpDigest(const CryptoEntryPoints* c, Hash hash, const std::uint8_t* data, std::size_t length, std::uint8_t* out) {
  const EVP_MD* md = Digest(c, hash);
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(c->EVP_MD_CTX_new());
  unsigned int outLength = 0;
  return md != nullptr && ctx && c->EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
         c->EVP_DigestUpdate(ctx.get(), data, length) == 1 && c->EVP_DigestFinal_ex(ctx.get(), out, &outLength) == 1 &&
         outLength == HashLength(hash);
}

}  // namespace

HmacKey::~HmacKey() {
  if (!ready_) return;
  if (const CryptoEntryPoints* c = Crypto()) {
    c->OPENSSL_cleanse(&inner_, sizeof inner_);
    c->OPENSSL_cleanse(&outer_, sizeof outer_);
    c->OPENSSL_cleanse(key_, sizeof key_);
  }
}

bool HmacKey::Init(Hash hash, const std::uint8_t* key, std::size_t keyLength, Path path) {
  ready_ = false;
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  hash_ = hash;
  plain_ = path == Path::Fastest && c->plainDigests;
  const std::size_t block = BlockLength(hash);
  c->OPENSSL_cleanse(key_, sizeof key_);
  if (keyLength > block) {
    // A key longer than the block is replaced by its digest (RFC 2104).
    if (!EvpDigest(c, hash, key, keyLength, key_)) return false;
    keyLength_ = HashLength(hash);
  } else {
    if (keyLength > 0) std::memcpy(key_, key, keyLength);
    keyLength_ = keyLength;
  }
  if (!plain_) {
    ready_ = true;
    return true;
  }
  std::uint8_t pad[128];
  for (std::size_t i = 0; i < block; ++i) pad[i] = key_[i] ^ 0x36;
  bool ok = false;
  switch (hash) {
    case Hash::Sha1:
      ok = c->SHA1_Init(&inner_.sha1) == 1 && c->SHA1_Update(&inner_.sha1, pad, block) == 1;
      for (std::size_t i = 0; i < block; ++i) pad[i] = key_[i] ^ 0x5C;
      ok = ok && c->SHA1_Init(&outer_.sha1) == 1 && c->SHA1_Update(&outer_.sha1, pad, block) == 1;
      break;
    case Hash::Sha256:
      ok = c->SHA256_Init(&inner_.sha256) == 1 && c->SHA256_Update(&inner_.sha256, pad, block) == 1;
      for (std::size_t i = 0; i < block; ++i) pad[i] = key_[i] ^ 0x5C;
      ok = ok && c->SHA256_Init(&outer_.sha256) == 1 && c->SHA256_Update(&outer_.sha256, pad, block) == 1;
      break;
    case Hash::Sha384:
      ok = c->SHA384_Init(&inner_.sha512) == 1 && c->SHA512_Update(&inner_.sha512, pad, block) == 1;
      for (std::size_t i = 0; i < block; ++i) pad[i] = key_[i] ^ 0x5C;
      ok = ok && c->SHA384_Init(&outer_.sha512) == 1 && c->SHA512_Update(&outer_.sha512, pad, block) == 1;
      break;
  }
  c->OPENSSL_cleanse(pad, sizeof pad);
  ready_ = ok;
  return ok;
}

namespace {

// The inner hash over `pieces` from the state after the inner pad, then the outer hash over its
// `length`-byte result from the state after the outer pad; `s` is the working state.
template <class State, class Update, class Final>
bool TwoPasses(State& s, const State& afterInnerPad, const State& afterOuterPad, Update update, Final finish,
               std::initializer_list<ByteSpan> pieces, std::size_t length, std::uint8_t* inner, std::uint8_t* out) {
  s = afterInnerPad;
  bool ok = true;
  for (const ByteSpan& p : pieces)
    if (p.length > 0) ok = ok && update(&s, p.data, p.length) == 1;
  ok = ok && finish(inner, &s) == 1;
  s = afterOuterPad;
  return ok && update(&s, inner, length) == 1 && finish(out, &s) == 1;
}

}  // namespace

bool HmacKey::Mac(std::initializer_list<ByteSpan> pieces, std::uint8_t* out) const {
  if (!ready_) return false;
  const CryptoEntryPoints* c = Crypto();
  if (!plain_) return EvpHmac(c, hash_, key_, keyLength_, pieces, out);
  std::uint8_t inner[48];
  State s;
  bool ok = false;
  switch (hash_) {
    case Hash::Sha1:
      ok = TwoPasses(s.sha1, inner_.sha1, outer_.sha1, c->SHA1_Update, c->SHA1_Final, pieces, 20, inner, out);
      break;
    case Hash::Sha256:
      ok = TwoPasses(s.sha256, inner_.sha256, outer_.sha256, c->SHA256_Update, c->SHA256_Final, pieces, 32, inner,
                     out);
      break;
    case Hash::Sha384:
      ok = TwoPasses(s.sha512, inner_.sha512, outer_.sha512, c->SHA512_Update, c->SHA384_Final, pieces, 48, inner,
                     out);
      break;
  }
  c->OPENSSL_cleanse(inner, sizeof inner);
  c->OPENSSL_cleanse(&s, sizeof s);
  return ok;
}

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
  HmacKey key;
  return key.Init(hash, secret, secretLength) && ExpandLabel(key, label, context, contextLength, out, outLength);
}

bool ExpandLabel(const HmacKey& secret, std::string_view label, const std::uint8_t* context,
                 std::size_t contextLength, std::uint8_t* out, std::size_t outLength) {
  if (outLength > 255 || label.size() > 249 || contextLength > 255) return false;
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
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

  // HKDF-Expand (RFC 5869): T(k) = HMAC(secret, T(k-1) | info | k), as many as the length needs.
  const std::size_t hl = HashLength(secret.GetHash());
  std::uint8_t t[48];
  std::size_t tLength = 0, done = 0;
  for (std::uint8_t k = 1; done < outLength; ++k) {
    const std::uint8_t counter = k;
    if (!secret.Mac({{t, tLength}, {info, i}, {&counter, 1}}, t)) return false;
    tLength = hl;
    const std::size_t take = std::min(hl, outLength - done);
    std::memcpy(out + done, t, take);
    done += take;
  }
  c->OPENSSL_cleanse(t, sizeof t);
  return true;
}

std::size_t AeadKeyLength(Aead aead) { return aead == Aead::Aes128Gcm ? 16 : 32; }

AeadOpener::~AeadOpener() {
  if (ctx_ != nullptr) Crypto()->EVP_CIPHER_CTX_free(ctx_);
}

AeadOpener& AeadOpener::operator=(AeadOpener&& other) noexcept {
  if (this != &other) {
    if (ctx_ != nullptr) Crypto()->EVP_CIPHER_CTX_free(ctx_);
    ctx_ = other.ctx_;
    aead_ = other.aead_;
    other.ctx_ = nullptr;
  }
  return *this;
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
  const Algorithms& a = Fetched(c);
  const EVP_CIPHER* cipher = aead == Aead::Aes128Gcm   ? a.aes128Gcm
                             : aead == Aead::Aes256Gcm ? a.aes256Gcm
                                                       : a.chacha20Poly1305;
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
    return c->EVP_EncryptInit_ex(ctx.get(), Fetched(c).chacha20, nullptr, hpKey, sample) == 1 &&
           c->EVP_EncryptUpdate(ctx.get(), mask, &len, kZeros, 5) == 1 && len == 5;
  }
  std::uint8_t block[16];
  const EVP_CIPHER* ecb = aead == Aead::Aes128Gcm ? Fetched(c).aes128Ecb : Fetched(c).aes256Ecb;
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
  std::uint8_t joined[1024];
  std::memcpy(joined, label.data(), label.size());
  if (seedLength > 0) std::memcpy(joined + label.size(), seed, seedLength);
  const std::size_t joinedLength = label.size() + seedLength;
  // P_hash: A(0) = seed, A(k) = HMAC(secret, A(k-1)); the output is HMAC(secret, A(k) | seed) for k = 1, 2...
  const std::size_t hl = HashLength(hash);
  std::uint8_t a[48], block[48];
  HmacKey key;
  bool ok = key.Init(hash, secret, secretLength) && key.Mac({{joined, joinedLength}}, a);
  for (std::size_t done = 0; ok && done < outLength;) {
    ok = key.Mac({{a, hl}, {joined, joinedLength}}, block);
    const std::size_t take = std::min(hl, outLength - done);
    if (ok) std::memcpy(out + done, block, take);
    done += take;
    ok = ok && (done == outLength || key.Mac({{a, hl}}, a));
  }
  c->OPENSSL_cleanse(a, sizeof a);
  c->OPENSSL_cleanse(block, sizeof block);
  return ok;
}

bool Hmac(Hash hash, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data, std::size_t dataLength,
          std::uint8_t* out) {
  HmacKey k;
  return k.Init(hash, key, keyLength) && k.Mac({{data, dataLength}}, out);
}

bool Hmac2(Hash hash, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* head, std::size_t headLength,
           const std::uint8_t* data, std::size_t dataLength, std::uint8_t* out) {
  HmacKey k;
  return k.Init(hash, key, keyLength) && k.Mac({{head, headLength}, {data, dataLength}}, out);
}

bool CbcDecrypt(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t iv[16], const std::uint8_t* in,
                std::size_t length, std::uint8_t* out) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr || (keyLength != 16 && keyLength != 32) || length % 16 != 0 || !Fits(length)) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  int len = 0;
  return ctx &&
         c->EVP_DecryptInit_ex(ctx.get(), keyLength == 16 ? Fetched(c).aes128Cbc : Fetched(c).aes256Cbc, nullptr,
                               key, iv) == 1 &&
         c->EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         c->EVP_DecryptUpdate(ctx.get(), out, &len, in, static_cast<int>(length)) == 1 &&
         static_cast<std::size_t>(len) == length;
}

}  // namespace qv::tls
