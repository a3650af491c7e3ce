#include "tls/crypto.h"

#include <gtest/gtest.h>

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
