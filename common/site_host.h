// The host name inside a typed web address, as the program's two address fields read it. Both trim
// the blanks around the text and drop a scheme ("http://"); they differ in what ends the host.
#pragma once
#include <string>
#include <string_view>

namespace qv {

// The filter dialog's site field: cut before the first ":" and before the first "/" after that; an
// IPv6 address ("[v6]:port", or bare with its colons) is kept whole, without brackets.
std::string CutSiteToHost(std::string_view site);

// The adapter test's site: cut before the first "/" (a path belongs to the page), then before the
// port's ":" when there is exactly one; a host with more than one ":" (an IPv6 literal) keeps them all.
std::string TestSiteHost(std::string_view site);

}  // namespace qv
