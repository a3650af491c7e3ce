#include "urls/crypto_binding.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

namespace qv {
namespace {

static_assert(OPENSSL_VERSION_MAJOR == 3, "the library file name below is that of OpenSSL 3");
constexpr const char* kLibrary = "libcrypto.so.3";

template <typename F>
bool Bind(void* library, const char* name, F& entry) {
  entry = reinterpret_cast<F>(::dlsym(library, name));
  return entry != nullptr;
}

const CryptoEntryPoints* Load() {
  void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static CryptoEntryPoints c;
  const bool all =
      Bind(library, "EVP_KDF_fetch", c.EVP_KDF_fetch) && Bind(library, "EVP_KDF_CTX_new", c.EVP_KDF_CTX_new) &&
      Bind(library, "EVP_KDF_CTX_free", c.EVP_KDF_CTX_free) && Bind(library, "EVP_KDF_derive", c.EVP_KDF_derive) &&
      Bind(library, "OSSL_PARAM_construct_int", c.OSSL_PARAM_construct_int) &&
      Bind(library, "OSSL_PARAM_construct_utf8_string", c.OSSL_PARAM_construct_utf8_string) &&
      Bind(library, "OSSL_PARAM_construct_octet_string", c.OSSL_PARAM_construct_octet_string) &&
      Bind(library, "OSSL_PARAM_construct_end", c.OSSL_PARAM_construct_end) &&
      Bind(library, "EVP_CIPHER_CTX_new", c.EVP_CIPHER_CTX_new) &&
      Bind(library, "EVP_CIPHER_CTX_free", c.EVP_CIPHER_CTX_free) &&
      Bind(library, "EVP_CIPHER_CTX_set_padding", c.EVP_CIPHER_CTX_set_padding) &&
      Bind(library, "EVP_CIPHER_CTX_ctrl", c.EVP_CIPHER_CTX_ctrl) &&
      Bind(library, "EVP_aes_128_ecb", c.EVP_aes_128_ecb) && Bind(library, "EVP_aes_128_gcm", c.EVP_aes_128_gcm) &&
      Bind(library, "EVP_EncryptInit_ex", c.EVP_EncryptInit_ex) &&
      Bind(library, "EVP_EncryptUpdate", c.EVP_EncryptUpdate) &&
      Bind(library, "EVP_DecryptInit_ex", c.EVP_DecryptInit_ex) &&
      Bind(library, "EVP_DecryptUpdate", c.EVP_DecryptUpdate) &&
      Bind(library, "EVP_DecryptFinal_ex", c.EVP_DecryptFinal_ex) &&
      Bind(library, "EVP_aes_256_ecb", c.EVP_aes_256_ecb) && Bind(library, "EVP_aes_256_gcm", c.EVP_aes_256_gcm) &&
      Bind(library, "EVP_aes_128_cbc", c.EVP_aes_128_cbc) && Bind(library, "EVP_aes_256_cbc", c.EVP_aes_256_cbc) &&
      Bind(library, "EVP_chacha20", c.EVP_chacha20) &&
      Bind(library, "EVP_chacha20_poly1305", c.EVP_chacha20_poly1305) && Bind(library, "EVP_sha1", c.EVP_sha1) &&
      Bind(library, "EVP_sha256", c.EVP_sha256) && Bind(library, "EVP_sha384", c.EVP_sha384) &&
      Bind(library, "HMAC", c.HMAC) && Bind(library, "EVP_CIPHER_fetch", c.EVP_CIPHER_fetch) &&
      Bind(library, "EVP_MD_fetch", c.EVP_MD_fetch) && Bind(library, "EVP_MD_CTX_new", c.EVP_MD_CTX_new) &&
      Bind(library, "EVP_MD_CTX_free", c.EVP_MD_CTX_free) &&
      Bind(library, "EVP_DigestInit_ex", c.EVP_DigestInit_ex) &&
      Bind(library, "EVP_DigestUpdate", c.EVP_DigestUpdate) &&
      Bind(library, "EVP_DigestFinal_ex", c.EVP_DigestFinal_ex) &&
      Bind(library, "OPENSSL_cleanse", c.OPENSSL_cleanse);
  if (!all) {
    ::dlclose(library);
    return nullptr;
  }
  c.plainDigests = Bind(library, "SHA1_Init", c.SHA1_Init) && Bind(library, "SHA1_Update", c.SHA1_Update) &&
                   Bind(library, "SHA1_Final", c.SHA1_Final) && Bind(library, "SHA256_Init", c.SHA256_Init) &&
                   Bind(library, "SHA256_Update", c.SHA256_Update) &&
                   Bind(library, "SHA256_Final", c.SHA256_Final) && Bind(library, "SHA384_Init", c.SHA384_Init) &&
                   Bind(library, "SHA512_Update", c.SHA512_Update) && Bind(library, "SHA384_Final", c.SHA384_Final);
  return &c;
}

}  // namespace

const CryptoEntryPoints* Crypto() {
  static const CryptoEntryPoints* const entries = Load();
  return entries;
}

}  // namespace qv
