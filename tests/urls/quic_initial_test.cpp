#include "urls/quic_initial.h"

#include <gtest/gtest.h>

#include "urls/client_hello.h"
#include "tests/urls/quic_sample.h"

namespace qv {
namespace {

using test::FromHex;

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += kDigits[p[i] >> 4], s += kDigits[p[i] & 15];
  return s;
}

TEST(QuicInitial, KeysOfTheRfcSample) {
  const auto dcid = FromHex(test::kRfcDcid);
  QuicInitialKeys keys;
  ASSERT_TRUE(DeriveClientInitialKeys(dcid.data(), dcid.size(), keys));
  EXPECT_EQ(Hex(keys.key, 16), test::kRfcKey);
  EXPECT_EQ(Hex(keys.iv, 12), test::kRfcIv);
  EXPECT_EQ(Hex(keys.hp, 16), test::kRfcHp);
}

TEST(QuicInitial, RfcSampleGivesItsClientHelloAndServerName) {
  const auto packet = test::RfcClientInitial();
  ASSERT_EQ(packet.size(), 1200u);
  // The protection made here is the RFC's own: protected header and sample as printed there.
  EXPECT_EQ(Hex(packet.data(), 38), test::kRfcProtectedStart);

  const auto initials = ReadQuicInitials(packet.data(), packet.size());
  ASSERT_EQ(initials.size(), 1u);
  EXPECT_EQ(initials[0].dcid, std::string("\x83\x94\xc8\xf0\x3e\x51\x57\x08", 8));
  ASSERT_EQ(initials[0].crypto.size(), 1u);
  EXPECT_EQ(initials[0].crypto[0].offset, 0u);
  const auto& hello = initials[0].crypto[0].data;
  ASSERT_EQ(hello.size(), 241u);
  std::string name;
  EXPECT_EQ(ReadClientHelloMessage(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size(), name),
            HelloResult::ServerName);
  EXPECT_EQ(name, "example.com");
}

TEST(QuicInitial, DamagedOrForeignPacketsGiveNothing) {
  const auto good = test::RfcClientInitial();
  auto flipped = good;
  flipped[600] ^= 0x01;  // the tag no longer matches
  auto version2 = good;
  version2[4] = 2;
  std::vector<std::vector<std::uint8_t>> bad = {flipped, version2, std::vector<std::uint8_t>(good.begin(), good.begin() + 700)};
  for (std::size_t cut : {0u, 1u, 5u, 6u, 14u, 16u, 18u, 21u, 40u}) bad.emplace_back(good.begin(), good.begin() + cut);
  for (const auto& b : bad) EXPECT_TRUE(ReadQuicInitials(b.data(), b.size()).empty()) << b.size();

}

}  // namespace
}  // namespace qv
