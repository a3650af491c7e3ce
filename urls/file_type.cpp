#include "urls/file_type.h"


#include "common/bytes.h"
#include "common/texts.h"

// Runs on the capture thread for every candidate address, so it works on views of the address and
// lowers only the few bytes it compares: lower-casing changes neither positions nor the bytes searched
// for ("?", "/", ".", ":"), nor which bytes open a GBK double-byte character.

namespace qv {

namespace {

bool IsLowerAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); }

bool EqualsLowered(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (LowerByte(s[i]) != lower[i]) return false;
  }
  return true;
}

bool IsStreamingScheme(std::string_view scheme) {
  return EqualsLowered(scheme, "rtsp") || EqualsLowered(scheme, "mms") || EqualsLowered(scheme, "mmst") ||
         EqualsLowered(scheme, "mmsu");
}

// The extension of the last path segment, lowered into `buf`; false when the segment has no ".".
// `buf` holds at least the "." and the run of letters and digits that follows it.
bool ExtensionOf(std::string_view s, std::string& buf) {
  const std::size_t slash = GbkRFind(s, "/");
  if (slash == npos) return false;
  const std::string_view tail = s.substr(slash);
  const std::size_t dot = tail.rfind('.');
  if (dot == npos) return false;
  std::string_view ext = TrimView(tail.substr(dot));
  if (ext.size() >= 2) {
    std::size_t k = 1;
    while (k < ext.size() && IsLowerAlnum(LowerByte(ext[k]))) ++k;
    ext = ext.substr(0, k);
  }
  buf.resize(ext.size());  // short extensions stay within the string's own buffer
  for (std::size_t i = 0; i < ext.size(); ++i) buf[i] = LowerByte(ext[i]);
  return true;
}

}  // namespace

std::string_view FileType(std::string_view address, const FileTypeSnapshot& table) {
  std::string_view s = address;
  const std::size_t query = s.find('?');
  if (query != npos) s = s.substr(0, query);

  std::string ext;
  if (ExtensionOf(s, ext)) {
    if (const auto node = table.FindChild(ext)) {
      return table.IsNodeChecked(*node) ? table.CategoryOf(*node) : std::string_view();
    }
  }

  const std::size_t colon = s.find(':');
  const std::string_view scheme = colon == npos ? std::string_view() : s.substr(0, colon);
  if (IsStreamingScheme(scheme)) return texts::kCatAudioVideo;
  return table.undefinedTypes ? texts::kCatUndefined : std::string_view();
}

}  // namespace qv
