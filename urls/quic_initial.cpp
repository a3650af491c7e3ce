#include "urls/quic_initial.h"

#include <openssl/core_names.h>

#include <cstring>
#include <memory>

#include "urls/crypto_binding.h"

namespace qv {
namespace {

// The salt of QUIC version 1's Initial secrets.
constexpr std::uint8_t kInitialSalt[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                           0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr std::size_t kMaxConnectionId = 20;
constexpr std::size_t kTagLength = 16;
constexpr std::size_t kSampleLength = 16;
constexpr int kMaxPacketsPerDatagram = 8;

struct KdfDeleter {
  void operator()(EVP_KDF_CTX* c) const { Crypto()->EVP_KDF_CTX_free(c); }
};
struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { Crypto()->EVP_CIPHER_CTX_free(c); }
};

// One HKDF step with SHA-256: extract (mode EXTRACT_ONLY, `salt` and `key`) or expand (`key` and `info`).
bool Hkdf(int mode, const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* saltOrInfo,
          std::size_t saltOrInfoLength, std::uint8_t* out, std::size_t outLength) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  // Fetched once; a fetched algorithm may be shared between threads.
  static EVP_KDF* const kdf = c->EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (kdf == nullptr) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(c->EVP_KDF_CTX_new(kdf));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  int p = 0;
  params[p++] = c->OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[p++] = c->OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[p++] = c->OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key), keyLength);
  params[p++] = c->OSSL_PARAM_construct_octet_string(
      mode == EVP_KDF_HKDF_MODE_EXTRACT_ONLY ? OSSL_KDF_PARAM_SALT : OSSL_KDF_PARAM_INFO,
      const_cast<std::uint8_t*>(saltOrInfo), saltOrInfoLength);
  params[p] = c->OSSL_PARAM_construct_end();
  return c->EVP_KDF_derive(ctx.get(), out, outLength, params) == 1;
}

// TLS 1.3's HKDF-Expand-Label with an empty context.
bool ExpandLabel(const std::uint8_t* secret, const char* label, std::uint8_t* out, std::size_t outLength) {
  std::uint8_t info[2 + 1 + 6 + 32 + 1];
  const std::size_t labelLength = std::strlen(label);
  std::size_t i = 0;
  info[i++] = static_cast<std::uint8_t>(outLength >> 8);
  info[i++] = static_cast<std::uint8_t>(outLength);
  info[i++] = static_cast<std::uint8_t>(6 + labelLength);
  std::memcpy(info + i, "tls13 ", 6);
  i += 6;
  std::memcpy(info + i, label, labelLength);
  i += labelLength;
  info[i++] = 0;
  return Hkdf(EVP_KDF_HKDF_MODE_EXPAND_ONLY, secret, 32, info, i, out, outLength);
}

// The header-protection mask: AES-128-ECB of the sample.
bool Mask(const std::uint8_t* hp, const std::uint8_t* sample, std::uint8_t* mask) {
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  int len = 0;
  return ctx && c->EVP_EncryptInit_ex(ctx.get(), c->EVP_aes_128_ecb(), nullptr, hp, nullptr) == 1 &&
         c->EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         c->EVP_EncryptUpdate(ctx.get(), mask, &len, sample, static_cast<int>(kSampleLength)) == 1 && len == 16;
}

// AES-128-GCM open; false when the tag does not match.
bool Open(const QuicInitialKeys& keys, std::uint64_t packetNumber, const std::uint8_t* aad, std::size_t aadLength,
          const std::uint8_t* sealed, std::size_t sealedLength, std::vector<std::uint8_t>& plain) {
  if (sealedLength < kTagLength) return false;
  std::uint8_t nonce[12];
  std::memcpy(nonce, keys.iv, 12);
  for (int k = 0; k < 8; ++k) nonce[11 - k] ^= static_cast<std::uint8_t>(packetNumber >> (8 * k));
  const std::size_t textLength = sealedLength - kTagLength;
  plain.resize(textLength);
  const CryptoEntryPoints* c = Crypto();
  if (c == nullptr) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(c->EVP_CIPHER_CTX_new());
  int len = 0;
  if (!ctx || c->EVP_DecryptInit_ex(ctx.get(), c->EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1 ||
      c->EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
      c->EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, keys.key, nonce) != 1 ||
      c->EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad, static_cast<int>(aadLength)) != 1 ||
      c->EVP_DecryptUpdate(ctx.get(), plain.data(), &len, sealed, static_cast<int>(textLength)) != 1 ||
      c->EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLength),
                             const_cast<std::uint8_t*>(sealed + textLength)) != 1)
    return false;
  int finalLength = 0;
  return c->EVP_DecryptFinal_ex(ctx.get(), plain.data() + len, &finalLength) == 1;
}

}  // namespace

bool DeriveClientInitialKeys(const std::uint8_t* dcid, std::size_t length, QuicInitialKeys& out) {
  std::uint8_t initial[32], client[32];
  return Hkdf(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, dcid, length, kInitialSalt, sizeof kInitialSalt, initial, 32) &&
         ExpandLabel(initial, "client in", client, 32) && ExpandLabel(client, "quic key", out.key, 16) &&
         ExpandLabel(client, "quic iv", out.iv, 12) && ExpandLabel(client, "quic hp", out.hp, 16);
}

std::vector<QuicInitialPacket> ReadQuicInitials(const std::uint8_t* p, std::size_t n) {
  std::vector<QuicInitialPacket> out;
  std::size_t pos = 0;
  for (int k = 0; k < kMaxPacketsPerDatagram && LooksLikeQuicInitial(p + pos, n - pos); ++k) {
    const std::size_t start = pos;
    pos += 5;
    const std::size_t dcidLength = p[pos++];
    if (dcidLength > kMaxConnectionId || pos + dcidLength + 1 > n) break;
    const std::uint8_t* dcid = p + pos;
    pos += dcidLength;
    const std::size_t scidLength = p[pos++];
    if (scidLength > kMaxConnectionId || pos + scidLength > n) break;
    pos += scidLength;
    std::uint64_t tokenLength, length;
    if (!QuicVarint(p, n, pos, tokenLength) || tokenLength > n - pos) break;
    pos += tokenLength;
    if (!QuicVarint(p, n, pos, length) || length > n - pos) break;
    const std::size_t pnOffset = pos;
    const std::size_t packetEnd = pnOffset + length;
    pos = packetEnd;  // the next coalesced packet
    if (length < 4 + kSampleLength) continue;

    QuicInitialKeys keys;
    std::uint8_t mask[16];
    if (!DeriveClientInitialKeys(dcid, dcidLength, keys) || !Mask(keys.hp, p + pnOffset + 4, mask)) break;
    // Header protection off: the low bits of the first byte and the packet number.
    std::vector<std::uint8_t> header(p + start, p + pnOffset + 4);
    header[0] ^= mask[0] & 0x0F;
    const std::size_t pnLength = (header[0] & 0x03) + 1;
    header.resize(pnOffset - start + pnLength);
    std::uint64_t packetNumber = 0;
    for (std::size_t i = 0; i < pnLength; ++i) {
      header[pnOffset - start + i] ^= mask[1 + i];
      packetNumber = packetNumber << 8 | header[pnOffset - start + i];
    }
    std::vector<std::uint8_t> plain;
    if (!Open(keys, packetNumber, header.data(), header.size(), p + pnOffset + pnLength,
              packetEnd - pnOffset - pnLength, plain))
      continue;
    QuicInitialPacket packet;
    packet.dcid.assign(reinterpret_cast<const char*>(dcid), dcidLength);
    ForEachCryptoFrame(plain.data(), plain.size(), [&](std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
      packet.crypto.push_back({offset, std::string(reinterpret_cast<const char*>(data), length)});
    });
    out.push_back(std::move(packet));
  }
  return out;
}

bool QuicVarint(const std::uint8_t* p, std::size_t end, std::size_t& pos, std::uint64_t& v) {
  if (pos >= end) return false;
  const std::size_t length = std::size_t{1} << (p[pos] >> 6);
  if (length > end - pos) return false;
  v = p[pos] & 0x3F;
  for (std::size_t k = 1; k < length; ++k) v = v << 8 | p[pos + k];
  pos += length;
  return true;
}

void ForEachCryptoFrame(const std::uint8_t* p, std::size_t size,
                        const std::function<void(std::uint64_t offset, const std::uint8_t* data,
                                                 std::size_t length)>& crypto) {
  const std::size_t end = size;
  std::size_t pos = 0;
  while (pos < end) {
    std::uint64_t type;
    if (!QuicVarint(p, end, pos, type)) return;
    if (type == 0x00 || type == 0x01) continue;  // PADDING, PING
    if (type == 0x02 || type == 0x03) {          // ACK, ACK with ECN counts
      std::uint64_t largest, delay, ranges, first;
      if (!QuicVarint(p, end, pos, largest) || !QuicVarint(p, end, pos, delay) || !QuicVarint(p, end, pos, ranges) ||
          !QuicVarint(p, end, pos, first) || ranges > end)
        return;
      for (std::uint64_t r = 0; r < 2 * ranges + (type == 0x03 ? 3 : 0); ++r) {
        std::uint64_t skip;
        if (!QuicVarint(p, end, pos, skip)) return;
      }
      continue;
    }
    if (type != 0x06) return;
    std::uint64_t offset, length;
    if (!QuicVarint(p, end, pos, offset) || !QuicVarint(p, end, pos, length) || length > end - pos) return;
    crypto(offset, p + pos, static_cast<std::size_t>(length));
    pos += static_cast<std::size_t>(length);
  }
}

}  // namespace qv
