#include "common/ui/gbk_text.h"

#include <limits>

#include "common/bytes.h"
#include "common/codepage.h"

namespace qv {

QString FromGbk(std::string_view gbk) {
  const std::string utf8 = GbkToUtf8(gbk);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToGbk(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  auto gbk = Utf8ToGbk(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())),
                       std::numeric_limits<std::size_t>::max());
  return gbk ? std::move(*gbk) : std::string();
}

QString CellText(std::string_view gbk, std::size_t maxBytes) {
  std::string line;
  line.reserve(std::min(gbk.size(), maxBytes));
  for (std::size_t i = 0; i < gbk.size();) {
    const auto b = static_cast<unsigned char>(gbk[i]);
    const bool pair = IsGbkLead(b) && i + 1 < gbk.size() && static_cast<unsigned char>(gbk[i + 1]) >= 0x40 &&
                      static_cast<unsigned char>(gbk[i + 1]) != 0x7F && static_cast<unsigned char>(gbk[i + 1]) != 0xFF;
    const std::size_t n = pair ? 2 : 1;
    if (line.size() + n > maxBytes) break;
    if (n == 1) {
      line.push_back(b < 0x20 ? ' ' : static_cast<char>(b));
    } else {
      line.append(gbk.substr(i, 2));
    }
    i += n;
  }
  return FromGbk(line);
}

}  // namespace qv
