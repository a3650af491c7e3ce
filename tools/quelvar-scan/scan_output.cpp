#include "tools/quelvar-scan/scan_output.h"

#include "common/bytes.h"
#include "common/codepage.h"
#include "urls/url_list.h"

namespace qv::scan {
namespace {

// The escape of each byte that needs one, else nullptr.
constexpr const char* EscapeOf(char c) {
  switch (c) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\r': return "\\r";
    case '\n': return "\\n";
    default: return nullptr;
  }
}

// Appends s with its escapes; runs of bytes that need none are appended whole. In GBK text the trail
// byte of a double-byte character is never taken for a backslash.
void AppendEscaped(std::string& line, std::string_view s, bool gbk) {
  std::size_t run = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (gbk && IsGbkLead(static_cast<unsigned char>(c)) && i + 1 < s.size()) {
      ++i;
      continue;
    }
    if (const char* escape = EscapeOf(c)) {
      line.append(s.data() + run, i - run).append(escape);
      run = i + 1;
    }
  }
  line.append(s.data() + run, s.size() - run);
}

}  // namespace

void AppendField(std::string& line, std::string_view field, bool raw) {
  if (raw) AppendEscaped(line, field, true);
  else AppendEscaped(line, GbkToUtf8(field), false);
}

void PrintList(std::FILE* out, const UrlList& list, OutputKind kind, bool raw) {
  std::string line;
  auto emit = [&](std::initializer_list<std::string_view> fields) {
    line.clear();
    bool first = true;
    for (std::string_view f : fields) {
      if (!first) line += '\t';
      first = false;
      AppendField(line, f, raw);
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
  };
  static const std::string kNone;
  if (kind == OutputKind::CategoryView) {
    for (const auto& r : list.Lv2()) emit({r.caption, r.address, r.data ? r.data->Remote : kNone});
  } else if (kind == OutputKind::UrlList) {
    for (const auto& r : list.Lv1()) emit({r.caption, r.cells[0], r.cells[1], r.data ? r.data->Remote : kNone});
  } else {
    for (const auto& r : list.Lv1())
      emit({r.caption, r.cells[0], r.cells[1], r.cells[2], r.data ? r.data->Remote : kNone});
  }
}

}  // namespace qv::scan
