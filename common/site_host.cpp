#include "common/site_host.h"

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
