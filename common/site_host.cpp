#include "common/site_host.h"

#include <algorithm>

#include "common/bytes.h"

namespace qv {

namespace {
std::string_view AfterScheme(std::string_view s) {
  s = TrimView(s);
  if (const auto p = s.find("://"); p != std::string_view::npos) s.remove_prefix(p + 3);
  return s;
}
}  // namespace

std::string CutSiteToHost(std::string_view site) {
  std::string_view s = AfterScheme(site);
  // An IPv6 address: in brackets (as in an address, with or without a port after them), or bare
  // (more than one ":" before any "/"). Its colons are not a port's.
  if (!s.empty() && s.front() == '[') {
    if (const auto close = s.find(']'); close != std::string_view::npos) return std::string(s.substr(1, close - 1));
  }
  const std::string_view beforeSlash = s.substr(0, s.find('/'));
  if (std::count(beforeSlash.begin(), beforeSlash.end(), ':') > 1) return std::string(beforeSlash);
  if (const auto p = s.find(':'); p != std::string_view::npos) s = s.substr(0, p);
  if (const auto p = s.find('/'); p != std::string_view::npos) s = s.substr(0, p);
  return std::string(s);
}

std::string TestSiteHost(std::string_view site) {
  std::string_view s = AfterScheme(site);
  if (const auto p = s.find('/'); p != std::string_view::npos) s = s.substr(0, p);
  if (const auto colon = s.find(':'); colon != std::string_view::npos && s.find(':', colon + 1) == std::string_view::npos)
    s = s.substr(0, colon);
  return std::string(s);
}

}  // namespace qv
