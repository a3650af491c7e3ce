#include "tools/quelvar-scan/scan_options.h"

#include <charconv>
#include <climits>

namespace qv::scan {

const char* const kUsage =
    "usage: quelvar-scan --read FILE [options]        analyse a capture file (pcap or pcapng)\n"
    "       quelvar-scan --interface NAME [options]   capture live until SIGINT or SIGTERM, --count or --seconds\n"
    "  --mode url|packets      work mode; default url\n"
    "  --settings FILE         settings file; default the one the window uses\n"
    "  --local ADDR            a local IPv4 or IPv6 address; repeatable\n"
    "  --keylog FILE           a TLS key log (SSLKEYLOGFILE) to list HTTPS requests whole; repeatable\n"
    "  --duplicates | --no-duplicates   override repeatURL\n"
    "  --undefined | --no-undefined     override the undefined-types switch\n"
    "  --https-hosts | --no-https-hosts override httpsHosts (list TLS and QUIC server names)\n"
    "  --view NAME             show this category view (\xE8\xA7\x86\xE9\x9F\xB3\xE9\xA2\x91\xE6\x96\x87\xE4\xBB\xB6, "
    "\xE5\x9B\xBE\xE7\x89\x87\xE6\x96\x87\xE4\xBB\xB6, \xE6\x96\x87\xE6\x9C\xAC\xE6\x96\x87\xE4\xBB\xB6, "
    "\xE8\x87\xAA\xE5\xAE\x9A\xE4\xB9\x89\xE7\xB1\xBB\xE5\x9E\x8B or \xE6\x9C\xAA\xE5\xAE\x9A\xE4\xB9\x89)\n"
    "  --protocol all|tcp|udp|icmp|isoip   --direction all|in|out   --site HOST   --contains TEXT\n"
    "  --min-length N          the packet filter\n"
    "  --buffer MB             kernel buffer of a live capture, 1 to 2047 MB; default 32\n"
    "  --count N  --seconds S  limits of a live capture\n"
    "  --raw                   print the list's bytes (GBK) instead of UTF-8\n"
    "  --help, --version\n"
    "Output: one row per line, fields separated by TAB; in every field a backslash, TAB, CR and LF are\n"
    "written as \\\\, \\t, \\r and \\n and every other control byte as \\xHH.\n";

namespace {

bool ParseNumber(const std::string& s, long max, long& out) {
  long v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < 0 || v > max) return false;
  out = v;
  return true;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--read") {
      if (!value(o.readFile)) return std::nullopt;
    } else if (a == "--interface") {
      if (!value(o.interface)) return std::nullopt;
    } else if (a == "--mode") {
      if (!value(v)) return std::nullopt;
      if (v == "url") o.packetMode = false;
      else if (v == "packets") o.packetMode = true;
      else return error = "--mode takes url or packets", std::nullopt;
    } else if (a == "--settings") {
      if (!value(o.settings)) return std::nullopt;
    } else if (a == "--keylog") {
      if (!value(v)) return std::nullopt;
      if (v.empty()) return error = "--keylog takes a file name", std::nullopt;
      o.keyLogs.push_back(v);
    } else if (a == "--local") {
      if (!value(v)) return std::nullopt;
      o.local.push_back(v);
    } else if (a == "--duplicates" || a == "--no-duplicates") {
      o.duplicates = a == "--duplicates";
    } else if (a == "--undefined" || a == "--no-undefined") {
      o.undefinedTypes = a == "--undefined";
    } else if (a == "--https-hosts" || a == "--no-https-hosts") {
      o.httpsHosts = a == "--https-hosts";
    } else if (a == "--view") {
      if (!value(o.view)) return std::nullopt;
    } else if (a == "--protocol") {
      if (!value(v)) return std::nullopt;
      if (v == "all") o.protocol = 0;
      else if (v == "tcp") o.protocol = 6;
      else if (v == "udp") o.protocol = 17;
      else if (v == "icmp") o.protocol = 1;
      else if (v == "isoip") o.protocol = 80;
      else return error = "--protocol takes all, tcp, udp, icmp or isoip", std::nullopt;
    } else if (a == "--direction") {
      if (!value(v)) return std::nullopt;
      if (v == "all") o.direction = 0;
      else if (v == "in") o.direction = 1;
      else if (v == "out") o.direction = 2;
      else return error = "--direction takes all, in or out", std::nullopt;
    } else if (a == "--site") {
      if (!value(o.site)) return std::nullopt;
    } else if (a == "--contains") {
      if (!value(o.contains)) return std::nullopt;
    } else if (a == "--min-length") {
      long n;
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 9999, n)) return error = "--min-length takes a number from 0 to 9999", std::nullopt;
      o.minLength = static_cast<int>(n);
    } else if (a == "--buffer") {
      long n;
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 2047, n) || n == 0) return error = "--buffer takes a number of MB from 1 to 2047", std::nullopt;
      o.bufferMB = static_cast<int>(n);
    } else if (a == "--count") {
      if (!value(v)) return std::nullopt;
      // The capture loop counts frames in an int: a larger number would wrap.
      if (!ParseNumber(v, INT_MAX, o.count) || o.count == 0)
        return error = "--count takes a number from 1 to 2147483647", std::nullopt;
    } else if (a == "--seconds") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 1L << 24, o.seconds) || o.seconds == 0)
        return error = "--seconds takes a positive number", std::nullopt;
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else {
      error = "unknown option " + a;
      return std::nullopt;
    }
  }
  if (o.help || o.version) return o;
  if (o.readFile.empty() == o.interface.empty()) {
    error = "give exactly one of --read FILE and --interface NAME";
    return std::nullopt;
  }
  if (!o.readFile.empty() && (o.count || o.seconds || o.bufferMB)) {
    error = "--count, --seconds and --buffer apply to a live capture only";
    return std::nullopt;
  }
  return o;
}

}  // namespace qv::scan
