// TLS as the client sends it, read with the browser's secrets: the ClientHello's random, the server's
// ServerHello (version, suite, server random, encrypt-then-MAC, ALPN), then the client's records
// decrypted (TLS 1.3: handshake key, then the traffic key, KeyUpdate followed; TLS 1.2: the ECDHE/RSA
// suites with AES-GCM, ChaCha20-Poly1305 or AES-CBC with HMAC, either MAC order). The decrypted
// application data goes to a callback. A record whose tag or MAC does not verify stops the reading.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tls/crypto.h"
#include "tls/secrets.h"

namespace qv::tls {

// What the ServerHello tells.
struct ServerHello {
  std::uint16_t version = 0;  // 0x0303 (TLS 1.2) or 0x0304 (TLS 1.3)
  std::uint16_t suite = 0;
  std::uint8_t random[32] = {};
  bool encryptThenMac = false;
  std::string alpn;  // the protocol the server chose; empty when none
};

// Reads the server's handshake records up to the ServerHello (a HelloRetryRequest is passed over).
class ServerHelloReader {
 public:
  // The server's bytes in order; true once the ServerHello is read (Hello() then holds it).
  bool Feed(const std::uint8_t* p, std::size_t n);
  bool Done() const { return done_; }
  bool Broken() const { return broken_; }
  const ServerHello& Hello() const { return hello_; }

 private:
  std::string records_;    // bytes not yet making a whole record
  std::string handshake_;  // handshake bytes taken from records
  ServerHello hello_;
  bool done_ = false;
  bool broken_ = false;
};

// Parses a ServerHello handshake message's body; false when it is malformed. `retry` tells a
// HelloRetryRequest.
bool ParseServerHello(const std::uint8_t* body, std::size_t n, ServerHello& out, bool& retry);

class ClientRecordReader {
 public:
  enum class State : unsigned char {
    Plain,       // before the client's first encrypted record
    Encrypted,   // decrypting
    Failed,      // a record did not verify, or the stream made no sense
    Closed,      // after the client's close_notify, or a protocol not read here
  };
  // What keeps the reader from going on.
  enum class Wait : unsigned char { Nothing, ServerHello, Key };

  static constexpr std::size_t kMaxHeldBytes = 256 * 1024;

  using DataSink = std::function<void(const std::uint8_t* p, std::size_t n)>;
  explicit ClientRecordReader(DataSink sink) : sink_(std::move(sink)) {}

  // Made new for another connection (everything as a new reader's, the sink `sink`), keeping only what
  // costs to make again: the cipher context (re-keyed by the next key) and the buffers' room (at most
  // kKeptRoom each).
  void Reset(DataSink sink);
  static constexpr std::size_t kKeptRoom = 64 * 1024;

  // The client's bytes in order. Reads as far as it can; what it cannot read yet (no ServerHello, no key)
  // stays held, bounded by kMaxHeldBytes (beyond that the oldest held bytes are dropped and the reader fails).
  void Feed(const std::uint8_t* p, std::size_t n, const SecretLookup& secrets);
  void SetServerHello(const ServerHello& hello, const SecretLookup& secrets);
  // Try again (a key may have been written since).
  void Resume(const SecretLookup& secrets) { Pump(secrets); }

  State GetState() const { return state_; }
  Wait Waiting() const { return wait_; }
  bool HasRandom() const { return hasRandom_; }
  const ClientRandom& Random() const { return random_; }
  bool HasServerHello() const { return hasHello_; }
  const ServerHello& Hello() const { return hello_; }
  // Whether at least one encrypted record was opened.
  bool Decrypted() const { return opened_ > 0; }
  bool KeyFound() const { return keyFound_; }
  // TLS 1.3 records passed over because they did not open before the first that did.
  unsigned Skipped() const { return skippedBeforeFirst_; }
  std::size_t HeldBytes() const { return buffer_.size() - consumed_; }
  // Held memory (buffers' capacity).
  std::size_t MemoryBytes() const { return buffer_.capacity() + handshake_.capacity(); }

 private:
  void Pump(const SecretLookup& secrets);
  // One record at `r` (header and fragment); false when the reader must wait or stop.
  bool Record(const std::uint8_t* r, std::size_t fragmentLength, const SecretLookup& secrets);
  bool PlainRecord(std::uint8_t type, const std::uint8_t* f, std::size_t n);
  bool EnterEncrypted(const SecretLookup& secrets);
  bool SetKey13(const std::uint8_t* secret, std::size_t length);
  bool Decrypt(const std::uint8_t* header, std::uint8_t* f, std::size_t n, std::uint8_t& type, std::size_t& plainLength,
               std::size_t& plainOffset);
  void InnerHandshake(const std::uint8_t* p, std::size_t n);

  DataSink sink_;
  State state_ = State::Plain;
  Wait wait_ = Wait::Nothing;
  std::string buffer_;         // the client's bytes not read yet start at consumed_
  std::size_t consumed_ = 0;
  std::string handshake_;      // plaintext handshake bytes (the ClientHello, TLS 1.3's encrypted handshake)
  ClientRandom random_{};
  bool hasRandom_ = false;
  ServerHello hello_;
  bool hasHello_ = false;
  bool keyFound_ = false;
  std::uint64_t opened_ = 0;

  // The decryption in force.
  enum class Cipher : unsigned char { None, Aead13, Gcm12, Chacha12, Cbc12 };
  Cipher cipher_ = Cipher::None;
  Aead aead_ = Aead::Aes128Gcm;
  Hash hash_ = Hash::Sha256;  // TLS 1.3 / PRF hash
  Hash macHash_ = Hash::Sha1;
  AeadOpener opener_;
  std::uint8_t iv_[kAeadIvLength] = {};
  std::uint8_t cbcKey_[32] = {};
  std::size_t cbcKeyLength_ = 0;
  std::uint8_t macKey_[48] = {};
  std::uint64_t sequence_ = 0;
  std::string secret13_;      // the current TLS 1.3 traffic secret
  bool handshakeKey_ = false;  // TLS 1.3: the handshake key is in force
  bool pendingKeyUpdate_ = false;
  bool switchToTraffic_ = false;  // TLS 1.3: the client's Finished was read; the traffic key comes next
  unsigned skippedBeforeFirst_ = 0;  // TLS 1.3: early-data records passed over before the first that opens
};

// The suites read here: their cipher, the hash of their PRF (or HKDF) and their MAC (CBC only); false
// for a suite that is not read.
struct SuiteInfo {
  bool tls13 = false;
  bool cbc = false;
  Aead aead = Aead::Aes128Gcm;
  std::size_t keyLength = 16;
  Hash prf = Hash::Sha256;
  Hash mac = Hash::Sha1;
};
bool LookUpSuite(std::uint16_t suite, SuiteInfo& info);

}  // namespace qv::tls
