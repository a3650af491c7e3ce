// The entry points of OpenSSL's libcrypto that reading QUIC Initials and decrypting TLS with a key log
// need, bound at run time.
// libcrypto is large (some 17,000 relocations): linked, it would be loaded and relocated at every start
// of every program, though most sessions never meet a QUIC Initial. It is loaded on first use instead.
#pragma once
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/sha.h>

namespace qv {

struct CryptoEntryPoints {
  decltype(&::EVP_KDF_fetch) EVP_KDF_fetch;
  decltype(&::EVP_KDF_CTX_new) EVP_KDF_CTX_new;
  decltype(&::EVP_KDF_CTX_free) EVP_KDF_CTX_free;
  decltype(&::EVP_KDF_derive) EVP_KDF_derive;
  decltype(&::OSSL_PARAM_construct_int) OSSL_PARAM_construct_int;
  decltype(&::OSSL_PARAM_construct_utf8_string) OSSL_PARAM_construct_utf8_string;
  decltype(&::OSSL_PARAM_construct_octet_string) OSSL_PARAM_construct_octet_string;
  decltype(&::OSSL_PARAM_construct_end) OSSL_PARAM_construct_end;
  decltype(&::EVP_CIPHER_CTX_new) EVP_CIPHER_CTX_new;
  decltype(&::EVP_CIPHER_CTX_free) EVP_CIPHER_CTX_free;
  decltype(&::EVP_CIPHER_CTX_set_padding) EVP_CIPHER_CTX_set_padding;
  decltype(&::EVP_CIPHER_CTX_ctrl) EVP_CIPHER_CTX_ctrl;
  decltype(&::EVP_aes_128_ecb) EVP_aes_128_ecb;
  decltype(&::EVP_aes_128_gcm) EVP_aes_128_gcm;
  decltype(&::EVP_EncryptInit_ex) EVP_EncryptInit_ex;
  decltype(&::EVP_EncryptUpdate) EVP_EncryptUpdate;
  decltype(&::EVP_DecryptInit_ex) EVP_DecryptInit_ex;
  decltype(&::EVP_DecryptUpdate) EVP_DecryptUpdate;
  decltype(&::EVP_DecryptFinal_ex) EVP_DecryptFinal_ex;
  decltype(&::EVP_aes_256_ecb) EVP_aes_256_ecb;
  decltype(&::EVP_aes_256_gcm) EVP_aes_256_gcm;
  decltype(&::EVP_aes_128_cbc) EVP_aes_128_cbc;
  decltype(&::EVP_aes_256_cbc) EVP_aes_256_cbc;
  decltype(&::EVP_chacha20) EVP_chacha20;
  decltype(&::EVP_chacha20_poly1305) EVP_chacha20_poly1305;
  decltype(&::EVP_sha1) EVP_sha1;
  decltype(&::EVP_sha256) EVP_sha256;
  decltype(&::EVP_sha384) EVP_sha384;
  decltype(&::HMAC) HMAC;
  // Algorithms fetched once by name: used through these, a cipher or digest is not looked up again
  // each time a context is set up with it (as the EVP_aes_128_gcm()-style objects are).
  decltype(&::EVP_CIPHER_fetch) EVP_CIPHER_fetch;
  decltype(&::EVP_MD_fetch) EVP_MD_fetch;
  decltype(&::EVP_MD_CTX_new) EVP_MD_CTX_new;
  decltype(&::EVP_MD_CTX_free) EVP_MD_CTX_free;
  decltype(&::EVP_DigestInit_ex) EVP_DigestInit_ex;
  decltype(&::EVP_DigestUpdate) EVP_DigestUpdate;
  decltype(&::EVP_DigestFinal_ex) EVP_DigestFinal_ex;
  decltype(&::OPENSSL_cleanse) OPENSSL_cleanse;
  // The digests without the EVP layer, for HMAC over many short inputs with one key (the key's padded
  // blocks hashed once, the state copied for each MAC). Optional: nullptr when the library lacks any of
  // them, and the EVP digests serve instead.
  int (*SHA1_Init)(SHA_CTX*) = nullptr;
  int (*SHA1_Update)(SHA_CTX*, const void*, size_t) = nullptr;
  int (*SHA1_Final)(unsigned char*, SHA_CTX*) = nullptr;
  int (*SHA256_Init)(SHA256_CTX*) = nullptr;
  int (*SHA256_Update)(SHA256_CTX*, const void*, size_t) = nullptr;
  int (*SHA256_Final)(unsigned char*, SHA256_CTX*) = nullptr;
  int (*SHA384_Init)(SHA512_CTX*) = nullptr;
  int (*SHA512_Update)(SHA512_CTX*, const void*, size_t) = nullptr;
  int (*SHA384_Final)(unsigned char*, SHA512_CTX*) = nullptr;
  bool plainDigests = false;  // all nine above are bound
};

// The entry points, bound by the first call (from any thread; later calls return at once); nullptr
// when the library cannot be loaded or lacks one of them (nothing can then be decrypted). The library
// stays loaded until the program ends.
const CryptoEntryPoints* Crypto();

}  // namespace qv
