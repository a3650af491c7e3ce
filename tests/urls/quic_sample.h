// The client Initial packet of RFC 9001, Appendix A.2: its header and its CRYPTO frame (a ClientHello
// for example.com) as the RFC prints them, padded and protected here with the RFC's keys. Tests check
// the result against the protected header and sample that the RFC prints.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv::test {

inline std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(value(hex[i]) * 16 + value(hex[i + 1])));
  return out;
}

inline const char* const kRfcDcid = "8394c8f03e515708";
inline const char* const kRfcKey = "1f369613dd76d5467730efcbe3b1a22d";
inline const char* const kRfcIv = "fa044b2f42a3fd3b46fb255c";
inline const char* const kRfcHp = "9f50449e04a0e810283a1e9933adedd2";
// The unprotected header: packet number 2 in four bytes, length 1182.
inline const char* const kRfcHeader = "c300000001088394c8f03e5157080000449e00000002";
// The CRYPTO frame.
inline const char* const kRfcCrypto =
    "060040f1010000ed0303ebf8fa56f12939b9584a3896472ec40bb863cfd3e868"
    "04fe3a47f06a2b69484c00000413011302010000c000000010000e00000b6578"
    "616d706c652e636f6dff01000100000a00080006001d00170018001000070005"
    "04616c706e000500050100000000003300260024001d00209370b2c9caa47fba"
    "baf4559fedba753de171fa71f50f1ce15d43e994ec74b748002b000302030400"
    "0d0010000e0403050306030203080408050806002d00020101001c0002400100"
    "3900320408ffffffffffffffff05048000ffff07048000ffff08011001048000"
    "75300901100f088394c8f03e51570806048000ffff";
// The first bytes of the protected packet: header with protection, then the sample.
inline const char* const kRfcProtectedStart =
    "c000000001088394c8f03e5157080000449e7b9aec34d1b1c98dd7689fb8ec11d242b123dc9b";

// Seals `plain` (padded with zero bytes to fill the header's length) under the header, then protects
// the header: what a client does to send its Initial.
inline std::vector<std::uint8_t> ProtectInitial(const std::vector<std::uint8_t>& header, std::vector<std::uint8_t> plain,
                                                const std::vector<std::uint8_t>& key,
                                                const std::vector<std::uint8_t>& iv,
                                                const std::vector<std::uint8_t>& hp, std::size_t pnLength,
                                                std::uint64_t packetNumber) {
  const std::size_t lengthField = (std::size_t{header[header.size() - pnLength - 2]} & 0x3F) << 8 |
                                  header[header.size() - pnLength - 1];
  plain.resize(lengthField - pnLength - 16, 0);
  std::vector<std::uint8_t> nonce = iv;
  for (int k = 0; k < 8; ++k) nonce[11 - k] ^= static_cast<std::uint8_t>(packetNumber >> (8 * k));
  std::vector<std::uint8_t> out = header;
  out.resize(header.size() + plain.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), nonce.data()) == 1 &&
            EVP_EncryptUpdate(ctx, nullptr, &len, header.data(), static_cast<int>(header.size())) == 1 &&
            EVP_EncryptUpdate(ctx, out.data() + header.size(), &len, plain.data(), static_cast<int>(plain.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx, out.data() + header.size() + len, &len) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + header.size() + plain.size()) == 1;
  EVP_CIPHER_CTX_free(ctx);
  const std::size_t pnOffset = header.size() - pnLength;
  std::uint8_t mask[32];
  ctx = EVP_CIPHER_CTX_new();
  ok = ok && EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, hp.data(), nullptr) == 1 &&
       EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_EncryptUpdate(ctx, mask, &len, out.data() + pnOffset + 4, 16) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("libcrypto failed");
  out[0] ^= mask[0] & 0x0F;
  for (std::size_t i = 0; i < pnLength; ++i) out[pnOffset + i] ^= mask[1 + i];
  return out;
}

// The RFC's client Initial, 1200 bytes.
inline std::vector<std::uint8_t> RfcClientInitial() {
  return ProtectInitial(FromHex(kRfcHeader), FromHex(kRfcCrypto), FromHex(kRfcKey), FromHex(kRfcIv), FromHex(kRfcHp), 4,
                        2);
}

}  // namespace qv::test
