// The cipher work of reading TLS and QUIC with the browser's secrets: TLS 1.3's HKDF-Expand-Label,
// AEAD decryption with a context kept per key, QUIC header protection, and TLS 1.2's PRF, HMAC and
// CBC decryption. Everything runs on OpenSSL's libcrypto, loaded on first use (urls/crypto_binding.h);
// every function fails (returns false) when it cannot be loaded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include <openssl/sha.h>
#include <openssl/types.h>

namespace qv::tls {

enum class Hash : unsigned char { Sha1, Sha256, Sha384 };
std::size_t HashLength(Hash hash);  // 20, 32, 48

// Bytes given to a MAC in pieces (the MAC is taken over them joined).
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
};

// An HMAC key made ready once for many MACs: the hash states after the key's inner and outer padded
// blocks are kept, so that each MAC hashes only its own data and the inner digest (HKDF-Expand-Label
// runs several labels on one secret, TLS 1.2's PRF many rounds on one). The key is wiped when the
// object goes.
class HmacKey {
 public:
  // Which digests: libcrypto's plain SHA functions where it has them (no EVP dispatch per call), or
  // its EVP digests (always; tests hold the two together).
  enum class Path : unsigned char { Fastest, Evp };
  HmacKey() = default;
  HmacKey(const HmacKey&) = delete;
  HmacKey& operator=(const HmacKey&) = delete;
  ~HmacKey();
  // False when libcrypto cannot be loaded or fails.
  bool Init(Hash hash, const std::uint8_t* key, std::size_t keyLength, Path path = Path::Fastest);
  Hash GetHash() const { return hash_; }
  // The MAC over the pieces joined; `out` gets HashLength bytes (and may be one of the pieces).
  bool Mac(std::initializer_list<ByteSpan> pieces, std::uint8_t* out) const;

 private:
  union State {
    SHA_CTX sha1;
    SHA256_CTX sha256;
    SHA512_CTX sha512;
  };
  bool ready_ = false;
  bool plain_ = false;
  Hash hash_ = Hash::Sha256;
  State inner_{}, outer_{};                // plain digests: the states after the padded key blocks
  std::uint8_t key_[128] = {};             // EVP digests: the key (hashed when longer than a block)
  std::size_t keyLength_ = 0;
};

// TLS 1.3's HKDF-Expand-Label: `label` without its "tls13 " prefix, `context` (may be empty) and the
// length wanted (at most 255 bytes).
bool ExpandLabel(Hash hash, const std::uint8_t* secret, std::size_t secretLength, std::string_view label,
                 const std::uint8_t* context, std::size_t contextLength, std::uint8_t* out, std::size_t outLength);
// The same with the secret made ready as an HMAC key (several labels on one secret).
bool ExpandLabel(const HmacKey& secret, std::string_view label, const std::uint8_t* context,
                 std::size_t contextLength, std::uint8_t* out, std::size_t outLength);

enum class Aead : unsigned char { Aes128Gcm, Aes256Gcm, Chacha20Poly1305 };
std::size_t AeadKeyLength(Aead aead);  // 16, 32, 32
inline constexpr std::size_t kAeadIvLength = 12;
inline constexpr std::size_t kAeadTagLength = 16;

// AEAD decryption under one key: the cipher context is made once and only the nonce changes per record;
// a new key for the same cipher keeps the context. Not copyable; one per key and direction. Moved, it
// takes its context along (a reader used again for another connection keeps it).
class AeadOpener {
 public:
  AeadOpener() = default;
  AeadOpener(const AeadOpener&) = delete;
  AeadOpener& operator=(const AeadOpener&) = delete;
  AeadOpener(AeadOpener&& other) noexcept : ctx_(other.ctx_), aead_(other.aead_) { other.ctx_ = nullptr; }
  AeadOpener& operator=(AeadOpener&& other) noexcept;
  ~AeadOpener();

  // Sets the cipher and key (AeadKeyLength bytes); false when libcrypto fails.
  bool Init(Aead aead, const std::uint8_t* key);
  bool Ready() const { return ctx_ != nullptr; }
  // `sealed` is the ciphertext followed by its 16-byte tag; the text (sealedLength - 16 bytes) goes to
  // `plain`, which may be `sealed` itself. False when the tag does not verify (or sealed is shorter than
  // a tag): `plain` then holds nothing usable.
  bool Open(const std::uint8_t nonce[kAeadIvLength], const std::uint8_t* aad, std::size_t aadLength,
            const std::uint8_t* sealed, std::size_t sealedLength, std::uint8_t* plain);

 private:
  EVP_CIPHER_CTX* ctx_ = nullptr;
  Aead aead_ = Aead::Aes128Gcm;
};

// The per-record nonce of TLS 1.3 and QUIC: the IV with the sequence (packet) number XORed into its end.
void MakeNonce(const std::uint8_t iv[kAeadIvLength], std::uint64_t sequence, std::uint8_t nonce[kAeadIvLength]);

// QUIC header protection: the 5-byte mask for a 16-byte sample (AES-ECB for the AES suites, ChaCha20
// for ChaCha20-Poly1305; the key is AeadKeyLength bytes).
bool HeaderProtectionMask(Aead aead, const std::uint8_t* hpKey, const std::uint8_t sample[16], std::uint8_t mask[5]);

// TLS 1.2's PRF (RFC 5246 section 5) with SHA-256 or SHA-384: `label` then `seed` as its seed.
bool Tls12Prf(Hash hash, const std::uint8_t* secret, std::size_t secretLength, std::string_view label,
              const std::uint8_t* seed, std::size_t seedLength, std::uint8_t* out, std::size_t outLength);

// HMAC over `data`; `out` gets HashLength(hash) bytes.
bool Hmac(Hash hash, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data, std::size_t dataLength,
          std::uint8_t* out);
// HMAC over `head` followed by `data` (a record's MAC over its header fields and its content, without
// joining them first).
bool Hmac2(Hash hash, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* head, std::size_t headLength,
           const std::uint8_t* data, std::size_t dataLength, std::uint8_t* out);

// AES-CBC decryption without padding removal (key of 16 or 32 bytes, `length` a multiple of 16).
bool CbcDecrypt(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t iv[16], const std::uint8_t* in,
                std::size_t length, std::uint8_t* out);

}  // namespace qv::tls
