// Command line of quelvar-scan.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace qv::scan {

struct Options {
  std::string readFile;           // --read
  std::string interface;          // --interface
  bool packetMode = false;        // --mode packets
  std::string settings;           // --settings; empty: setting.ini beside the executable
  std::vector<std::string> local; // --local (IPv4 or IPv6), repeatable
  std::vector<std::string> keyLogs; // --keylog, repeatable
  std::optional<bool> duplicates; // --duplicates / --no-duplicates
  std::optional<bool> undefinedTypes;
  std::optional<bool> httpsHosts; // --https-hosts / --no-https-hosts
  std::string view;               // --view, as given (UTF-8)
  int protocol = 0;
  int direction = 0;
  std::string site;
  std::string contains;
  int minLength = 0;
  long count = 0;
  std::optional<int> bufferMB;    // --buffer: the kernel buffer of a live capture; default 32 MB
  long seconds = 0;
  bool raw = false;
  bool help = false;     // --help: print the usage and end
  bool version = false;  // --version: print the version and end
};

extern const char* const kUsage;

// Parses argv; on a usage error returns nothing and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

}  // namespace qv::scan
