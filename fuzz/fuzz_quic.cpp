// Fuzz target: the HTTP/3-over-QUIC reader. Bytes are a run of UDP datagrams through
// QuicConnections::Datagram with a fixed set of client secrets (the throwaway keys of the captures in
// tests/tls/captures, whose datagrams are the seeds: fuzz/make_quic_seeds.py), or, when the first byte
// is odd, a run of STREAM frame pieces straight into H3Requests (QPACK encoder stream, request streams).
//
// Input layout after the first byte:
//   QUIC mode: records [flags][client port, 2 bytes][length, 2 bytes][payload]; flags bit0: the server
//              sends it; bit1: the key log answers yet; bit2: six seconds later than the record before.
//   H3 mode:   records [stream id, 1 byte][offset, 2 bytes][flags: bit0 fin][length, 2 bytes][bytes].
// Invariants: counts add up; no request without fields; held bytes within their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tls/h3_requests.h"
#include "tls/quic_connections.h"

namespace {

using qv::tls::ClientRandom;
using qv::tls::SecretKind;

const char* const kSecrets[][2] = {
    {"5b93384baab5a0b97b4c5174738ee2aa07fb55ee7ba632e50a18cf15f25d3f61",
     "db833f8a093056bfdced61fcd0f2c4c5642e86abf60898e3b64c9fa6d8098663"},
    {"135490bf9fd34965f689238a8eece8e774e8bf4b177531444dfcf964a19811fc",
     "6275620d383b887e5038d83a9a95bdce6f08277d39dc7952dd5400381a813ad8"},
    {"30599f10406ec5e057552345dd534d55b852dd4705378c6eba40d50216c97843",
     "4b00698c6a8fc0f95346b664b052224cc84d22d9c4e29ce00f6d1a2072c310d5af8123b5158d0047d3c60af4d4294f48"},
    // quic_chromium.pcap
    {"89c1add676337c9b1b07366656402651c0b97c95908ccd58e3988cb55957b644",
     "9a0adb7d0cbcdd35b5b822e096eb2497b6a6fd2078345b963a6becaa836cc889"},
    {"e751e55b36c71c04fc9e81182850af432af0e3e08903aede4b807ff648b937e9",
     "f1c8f0f923da8295026ff1cf2a5878beffab17d464e47d25ce744566e082ff88"},
    // quic_retry.pcap
    {"8f5dd2824a10bb6b8152e3758a4d35efcbcf6afcc4417e14d5bf646a728537e0",
     "544c370e1afa3a6f5d48b1f4a93263c7d378d5748ce4682505a3c0864adb68fc"},
};

std::string Hex(const char* h) {
  std::string out;
  for (; h[0] && h[1]; h += 2) out.push_back(static_cast<char>(std::strtol(std::string(h, 2).c_str(), nullptr, 16)));
  return out;
}

class FixedSecrets : public qv::tls::SecretLookup {
 public:
  FixedSecrets() {
    for (const auto& s : kSecrets) secrets_[Hex(s[0])] = Hex(s[1]);
  }
  bool Find(SecretKind kind, const ClientRandom& random, std::string& secret) const override {
    if (!open || kind != SecretKind::ClientTraffic0) return false;
    auto it = secrets_.find(std::string(random.begin(), random.end()));
    if (it == secrets_.end()) return false;
    secret = it->second;
    return true;
  }
  bool open = true;

 private:
  std::map<std::string, std::string> secrets_;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

void CheckRequests(const std::vector<qv::tls::HttpsRequest>& out) {
  for (const auto& r : out) Check(!r.fields.empty(), "a request without fields");
}

void RunQuic(const std::uint8_t* p, std::size_t n) {
  FixedSecrets secrets;
  qv::tls::QuicConnections quic(secrets);
  double seconds = 1000;
  std::size_t pos = 0;
  while (pos + 5 <= n) {
    const std::uint8_t flags = p[pos];
    const std::uint16_t port = static_cast<std::uint16_t>(p[pos + 1] << 8 | p[pos + 2]);
    std::size_t length = static_cast<std::size_t>(p[pos + 3] << 8 | p[pos + 4]);
    pos += 5;
    if (length > n - pos) length = n - pos;
    qv::tls::UdpEndpoints e;
    e.src = {127, 0, 0, 1};
    e.dst = {127, 0, 0, 1};
    e.sport = port;
    e.dport = 4433;
    if (flags & 1) {
      std::swap(e.src, e.dst);
      std::swap(e.sport, e.dport);
    }
    secrets.open = flags & 2;
    seconds += (flags & 4) ? 6.0 : 0.01;
    std::vector<qv::tls::HttpsRequest> out;
    quic.Datagram(e, p + pos, length, seconds, out);
    CheckRequests(out);
    pos += length;
  }
  const qv::tls::HttpsCounts c = quic.Counts();
  Check(c.decrypted + c.withoutKeys + c.failed == c.connections, "the counts do not add up");
}

void RunH3(const std::uint8_t* p, std::size_t n) {
  qv::tls::H3Requests h3;
  std::size_t pos = 0;
  while (pos + 6 <= n) {
    const std::uint64_t id = p[pos];
    const std::uint64_t offset = static_cast<std::uint64_t>(p[pos + 1] << 8 | p[pos + 2]);
    const bool fin = p[pos + 3] & 1;
    std::size_t length = static_cast<std::size_t>(p[pos + 4] << 8 | p[pos + 5]);
    pos += 6;
    if (length > n - pos) length = n - pos;
    std::vector<qv::tls::HttpsRequest> out;
    h3.StreamData(id, offset, p + pos, length, fin, out);
    CheckRequests(out);
    Check(h3.HeldBytes() <= qv::tls::H3Requests::kMaxBytes + qv::tls::H3Requests::kMaxStreamBytes,
          "held bytes over the bound");
    pos += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) RunH3(data + 1, size - 1);
  else RunQuic(data + 1, size - 1);
  return 0;
}
