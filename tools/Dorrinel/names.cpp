#include "tools/Dorrinel/names.h"

#include <utility>

#include "common/bytes.h"
#include "common/codepage.h"

namespace dorrinel {

namespace {

using qv::PercentDecode;

constexpr std::size_t kMaxExtensionBytes = 16;

bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    if (b < 0x80) n = 1;
    else if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3;
    else if (b >= 0xF0 && b <= 0xF4) n = 4;
    else return false;
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// Characters that are not seen but change how a name is seen: the format characters (Unicode
// category Cf: bidi overrides, embeddings and isolates such as U+202E, which shows "evil\u202Egpj.exe"
// as "evilexe.jpg", zero-width spaces and joiners, the byte order mark, ...), the C1 controls, and the
// line and paragraph separators.
bool IsHiddenCharacter(char32_t c) {
  static constexpr std::pair<char32_t, char32_t> kRanges[] = {
      {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},
      {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
      {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
      {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  for (const auto& [first, last] : kRanges) {
    if (c < first) return false;
    if (c <= last) return true;
  }
  return false;
}

// Valid UTF-8 with every hidden character (and every control byte) replaced by '_'.
std::string WithoutHiddenCharacters(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (c < 0x20 || c == 0x7F || IsHiddenCharacter(c)) {
      out += '_';
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out;
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first `max` bytes of UTF-8 text or fewer, never ending inside a character.
std::string_view CutUtf8(std::string_view s, std::size_t max) {
  if (s.size() <= max) return s;
  std::size_t end = max;
  while (end > 0 && IsContinuation(s[end])) --end;
  return s.substr(0, end);
}

// The position of the extension's dot, or npos: a dot after the first byte.
std::size_t ExtensionDot(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return (dot == std::string_view::npos || dot == 0) ? std::string_view::npos : dot;
}

}  // namespace

std::string FileNameFromTarget(std::string_view target) {
  const std::string_view path = target.substr(0, target.find_first_of("?#"));
  std::string name = PercentDecode(path);
  const std::size_t sep = name.find_last_of("/\\");
  if (sep != std::string::npos) name.erase(0, sep + 1);
  if (!IsUtf8(name)) name = qv::GbkToUtf8(name);
  if (!IsUtf8(name)) return std::string(kFallbackFileName);  // a conversion that failed
  name = WithoutHiddenCharacters(name);
  const std::size_t first = name.find_first_not_of(". ");
  name.erase(0, first == std::string::npos ? name.size() : first);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.empty()) return std::string(kFallbackFileName);
  if (name.size() > kMaxNameBytes) {
    const std::size_t dot = ExtensionDot(name);
    std::string_view ext;
    if (dot != std::string::npos && name.size() - dot <= kMaxExtensionBytes) ext = std::string_view(name).substr(dot);
    const std::string_view stem = std::string_view(name).substr(0, name.size() - ext.size());
    name = std::string(CutUtf8(stem, kMaxNameBytes - ext.size())) + std::string(ext);
  }
  return name;
}

std::string StreamFileName(std::string_view target) {
  std::string name = FileNameFromTarget(target);
  if (name == kFallbackFileName) return "stream.mkv";
  const std::size_t dot = ExtensionDot(name);
  if (dot != std::string::npos) name.erase(dot);
  return std::string(CutUtf8(name, kMaxNameBytes - 4)) + ".mkv";
}

std::string NumberedName(const std::string& name, unsigned n) {
  const std::size_t dot = ExtensionDot(name);
  const std::string number = "(" + std::to_string(n) + ")";
  if (dot == std::string::npos) return name + number;
  return name.substr(0, dot) + number + name.substr(dot);
}

}  // namespace dorrinel
