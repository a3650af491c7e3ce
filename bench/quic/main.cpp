// Throughput of the HTTP/3-over-QUIC reader: the QUIC test captures replayed many times (each replay
// on client ports of its own, so that every replay makes new connections), with the client's keys
// and without them. Prints the median of the runs.
//   quic_replay [REPLAYS [RUNS]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/tls/quic_test_support.h"
#include "tls/quic_connections.h"

using namespace qv::tls;

namespace {

struct Capture {
  std::vector<quictest::Datagram> datagrams;
  quictest::KeyLogSecrets* keys;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int replays = argc > 1 ? std::atoi(argv[1]) : 200;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
  const std::string dir = std::string(QUELVAR_SOURCE_DIR) + "/tests/tls/captures/";
  quictest::KeyLogSecrets h3Keys(dir + "quic_h3.keys"), chromiumKeys(dir + "quic_chromium.keys");
  const std::vector<Capture> captures = {{quictest::ReadUdp(dir + "quic_h3.pcap"), &h3Keys},
                                         {quictest::ReadUdp(dir + "quic_chromium.pcap"), &chromiumKeys}};
  for (bool withKeys : {true, false}) {
    std::vector<double> seconds;
    std::size_t datagrams = 0, bytes = 0, requests = 0;
    std::vector<std::size_t> perCapture(captures.size());
    for (int run = 0; run < runs; ++run) {
      datagrams = bytes = requests = 0;
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t k = 0; k < captures.size(); ++k) {
        const Capture& c = captures[k];
        perCapture[k] = 0;
        c.keys->open = withKeys;
        QuicConnections quic(*c.keys);
        std::vector<HttpsRequest> out;
        for (int r = 0; r < replays; ++r) {
          for (const quictest::Datagram& d : c.datagrams) {
            UdpEndpoints e = d.e;
            // Ports of this replay's own for the client and the server (a replay's packets are those of
            // the first, under the same keys: only its endpoints tell it apart).
            const std::uint16_t server = static_cast<std::uint16_t>(20000 + r);
            if (e.dport == 4433) {
              e.sport = static_cast<std::uint16_t>(e.sport + 7 * r);
              e.dport = server;
            } else {
              e.dport = static_cast<std::uint16_t>(e.dport + 7 * r);
              e.sport = server;
            }
            out.clear();
            quic.Datagram(e, d.payload.data(), d.payload.size(), d.seconds + r * 10.0, out);
            requests += out.size();
            perCapture[k] += out.size();
            ++datagrams;
            bytes += d.payload.size();
          }
        }
      }
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double s = Median(seconds);
    std::printf("%s keys: %zu datagrams (%.1f MB), %zu requests; median of %d runs %.3f s: %.0f datagrams/s, %.1f MB/s\n",
                withKeys ? "with" : "without", datagrams, bytes / 1e6, requests, runs, s, datagrams / s,
                bytes / 1e6 / s);
    std::printf("  requests per capture: %zu, %zu\n", perCapture[0], perCapture[1]);
  }
}
