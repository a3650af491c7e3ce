// The floor of every capture-file reader: libpcap's own read loop with a callback that only touches
// each frame (sums the captured lengths and the first and last byte), so no program built on
// pcap_loop can read a file faster than this.
//   pcap_loop_baseline FILE
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>

namespace {

struct Totals {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t touch = 0;
};

void OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* t = reinterpret_cast<Totals*>(user);
  ++t->frames;
  t->bytes += h->caplen;
  if (h->caplen > 0) t->touch += bytes[0] ^ bytes[h->caplen - 1];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(argv[1], error);
  if (!p) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error);
    return 1;
  }
  Totals t;
  const int rc = pcap_loop(p, 0, OnFrame, reinterpret_cast<u_char*>(&t));
  if (rc == PCAP_ERROR) std::fprintf(stderr, "%s: %s\n", argv[1], pcap_geterr(p));
  pcap_close(p);
  std::printf("%llu frames, %llu bytes (%llu)\n", static_cast<unsigned long long>(t.frames),
              static_cast<unsigned long long>(t.bytes), static_cast<unsigned long long>(t.touch));
  return rc == PCAP_ERROR ? 1 : 0;
}
