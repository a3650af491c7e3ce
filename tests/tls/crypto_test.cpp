#include "tls/crypto.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

#include <string>
#include <vector>

namespace qv::tls {
namespace {

std::vector<std::uint8_t> Hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// QUIC version 1's client Initial keys (RFC 9001, appendix A.1).
TEST(TlsCrypto, ExpandLabelGivesTheQuicInitialKeys) {
  const auto secret = Hex("c00cf151ca5be075ed0ebfb5c80323c42d6b7db67881289af4008f1f6c357aea");
  struct Case {
    const char* label;
    std::size_t length;
    const char* expected;
  };
  for (const Case& c : {Case{"quic key", 16, "1f369613dd76d5467730efcbe3b1a22d"},
                        Case{"quic iv", 12, "fa044b2f42a3fd3b46fb255c"},
                        Case{"quic hp", 16, "9f50449e04a0e810283a1e9933adedd2"}}) {
    std::uint8_t out[32];
    ASSERT_TRUE(ExpandLabel(Hash::Sha256, secret.data(), secret.size(), c.label, nullptr, 0, out, c.length));
    EXPECT_EQ(ToHex(out, c.length), c.expected) << c.label;
  }
}

// The ChaCha20-Poly1305 short-header packet of RFC 9001, appendix A.5: header protection and the AEAD.
// libcrypto's own HKDF (expand only) and TLS1-PRF, for the cross-checks below.
std::vector<std::uint8_t> LibKdf(const char* name, const char* digest, const std::vector<std::uint8_t>& secret,
                                 const std::vector<std::uint8_t>& seedOrInfo, std::size_t length) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, name, nullptr);
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  const bool hkdf = std::string(name) == "HKDF";
  int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
  OSSL_PARAM params[5];
  int p = 0;
  if (hkdf) params[p++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[p++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0);
  params[p++] = OSSL_PARAM_construct_octet_string(hkdf ? OSSL_KDF_PARAM_KEY : OSSL_KDF_PARAM_SECRET,
                                                  const_cast<std::uint8_t*>(secret.data()), secret.size());
  params[p++] = OSSL_PARAM_construct_octet_string(hkdf ? OSSL_KDF_PARAM_INFO : OSSL_KDF_PARAM_SEED,
                                                  const_cast<std::uint8_t*>(seedOrInfo.data()), seedOrInfo.size());
  params[p] = OSSL_PARAM_construct_end();
  std::vector<std::uint8_t> out(length);
  EXPECT_EQ(EVP_KDF_derive(ctx, out.data(), length, params), 1);
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
  return out;
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t start) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(start + 7 * i);
  return v;
}

// HMAC, HKDF-Expand-Label and TLS 1.2's PRF agree with libcrypto's own for every hash, for keys shorter
// and longer than the hash's block, and for outputs shorter and longer than one hash (several rounds).
TEST(TlsCrypto, HmacExpandLabelAndPrfAgreeWithLibcrypto) {
  struct Case {
    Hash hash;
    const char* name;
    std::size_t keyLength, dataLength, outLength;
  };
  const Case cases[] = {
      {Hash::Sha1, "SHA1", 20, 13 + 100, 0},       {Hash::Sha1, "SHA1", 80, 0, 0},
      {Hash::Sha256, "SHA256", 32, 13 + 1000, 12}, {Hash::Sha256, "SHA256", 65, 5, 32},
      {Hash::Sha256, "SHA256", 48, 77, 104},       {Hash::Sha384, "SHA384", 48, 13 + 300, 48},
      {Hash::Sha384, "SHA384", 129, 1, 120},       {Hash::Sha384, "SHA384", 48, 64, 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " key " + std::to_string(c.keyLength) + " out " + std::to_string(c.outLength));
    const auto key = Bytes(c.keyLength, 3), data = Bytes(c.dataLength, 11);
    std::uint8_t mine[48], theirs[EVP_MAX_MD_SIZE];
    unsigned theirLength = 0;
    ASSERT_TRUE(Hmac(c.hash, key.data(), key.size(), data.data(), data.size(), mine));
    ASSERT_NE(HMAC(EVP_get_digestbyname(c.name), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
                   theirs, &theirLength),
              nullptr);
    ASSERT_EQ(theirLength, HashLength(c.hash));
    EXPECT_EQ(ToHex(mine, theirLength), ToHex(theirs, theirLength));
    // The same MAC with the data given in two pieces.
    const std::size_t split = std::min<std::size_t>(13, data.size());
    std::uint8_t pieces[48];
    ASSERT_TRUE(Hmac2(c.hash, key.data(), key.size(), data.data(), split, data.data() + split, data.size() - split,
                      pieces));
    EXPECT_EQ(ToHex(pieces, theirLength), ToHex(theirs, theirLength));
    // A key made ready once, on libcrypto's plain digests and on its EVP digests: every MAC taken with
    // it (the second after the first, in pieces) is libcrypto's.
    for (const HmacKey::Path path : {HmacKey::Path::Fastest, HmacKey::Path::Evp}) {
      HmacKey ready;
      ASSERT_TRUE(ready.Init(c.hash, key.data(), key.size(), path));
      std::uint8_t first[48], second[48];
      ASSERT_TRUE(ready.Mac({{data.data(), data.size()}}, first));
      ASSERT_TRUE(ready.Mac({{data.data(), split}, {nullptr, 0}, {data.data() + split, data.size() - split}}, second));
      EXPECT_EQ(ToHex(first, theirLength), ToHex(theirs, theirLength));
      EXPECT_EQ(ToHex(second, theirLength), ToHex(theirs, theirLength));
    }
    if (c.hash == Hash::Sha1 || c.outLength == 0) continue;

    // HKDF-Expand-Label: the label and a context, against libcrypto's HKDF-Expand over the same info.
    const auto context = Bytes(c.dataLength % 40, 29);
    std::vector<std::uint8_t> info = {static_cast<std::uint8_t>(c.outLength >> 8), static_cast<std::uint8_t>(c.outLength),
                                      static_cast<std::uint8_t>(6 + 11)};
    for (char ch : std::string("tls13 traffic upd")) info.push_back(static_cast<std::uint8_t>(ch));
    info.push_back(static_cast<std::uint8_t>(context.size()));
    info.insert(info.end(), context.begin(), context.end());
    std::vector<std::uint8_t> expanded(c.outLength);
    ASSERT_TRUE(ExpandLabel(c.hash, key.data(), key.size(), "traffic upd", context.data(), context.size(),
                            expanded.data(), expanded.size()));
    EXPECT_EQ(ToHex(expanded.data(), expanded.size()),
              ToHex(LibKdf("HKDF", c.name, key, info, c.outLength).data(), c.outLength));

    // TLS 1.2's PRF: the label joined to the seed (two randoms in use, or more).
    const auto randoms = Bytes(64 + c.dataLength % 100, 17);
    std::vector<std::uint8_t> prf(c.outLength);
    ASSERT_TRUE(Tls12Prf(c.hash, key.data(), key.size(), "key expansion", randoms.data(), randoms.size(), prf.data(),
                         prf.size()));
    std::vector<std::uint8_t> seed;
    for (char ch : std::string("key expansion")) seed.push_back(static_cast<std::uint8_t>(ch));
    seed.insert(seed.end(), randoms.begin(), randoms.end());
    EXPECT_EQ(ToHex(prf.data(), prf.size()), ToHex(LibKdf("TLS1-PRF", c.name, key, seed, c.outLength).data(), c.outLength));
  }
}

TEST(TlsCrypto, ChachaShortHeaderPacketOpens) {
  const auto hp = Hex("25a282b9e82f06f21f488917a4fc8f1b73573685608597d0efcb076b0ab7a7a4");
  const auto sample = Hex("5e5cd55c41f69080575d7999c25a5bfb");
  std::uint8_t mask[5];
  ASSERT_TRUE(HeaderProtectionMask(Aead::Chacha20Poly1305, hp.data(), sample.data(), mask));
  EXPECT_EQ(ToHex(mask, 5), "aefefe7d03");

  const auto key = Hex("c6d98ff3441c3fe1b2182094f69caa2ed4b716b65488960a7a984979fb23e1c8");
  const auto iv = Hex("e0459b3474bdd0e44a41c144");
  const auto header = Hex("4200bff4");
  auto sealed = Hex("655e5cd55c41f69080575d7999c25a5bfb");
  std::uint8_t nonce[kAeadIvLength];
  MakeNonce(iv.data(), 654360564, nonce);
  AeadOpener opener;
  ASSERT_TRUE(opener.Init(Aead::Chacha20Poly1305, key.data()));
  std::uint8_t plain[1];
  ASSERT_TRUE(opener.Open(nonce, header.data(), header.size(), sealed.data(), sealed.size(), plain));
  EXPECT_EQ(plain[0], 0x01);  // a PING frame

  // One bit changed anywhere fails the tag: the opener says so and can be used again.
  sealed[3] ^= 0x10;
  EXPECT_FALSE(opener.Open(nonce, header.data(), header.size(), sealed.data(), sealed.size(), plain));
  sealed[3] ^= 0x10;
  EXPECT_TRUE(opener.Open(nonce, header.data(), header.size(), sealed.data(), sealed.size(), plain));
  EXPECT_FALSE(opener.Open(nonce, header.data(), header.size(), sealed.data(), 15, plain));  // shorter than a tag
}

// The AES header-protection mask of RFC 9001's client Initial (appendix A.2).
TEST(TlsCrypto, AesHeaderProtectionMask) {
  const auto hp = Hex("9f50449e04a0e810283a1e9933adedd2");
  const auto sample = Hex("d1b1c98dd7689fb8ec11d242b123dc9b");
  std::uint8_t mask[5];
  ASSERT_TRUE(HeaderProtectionMask(Aead::Aes128Gcm, hp.data(), sample.data(), mask));
  EXPECT_EQ(ToHex(mask, 5), "437b9aec36");
}

}  // namespace
}  // namespace qv::tls
