#include "packets/packet_view.h"

namespace qv {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kBytesPerLine = 16;
// Label (8) + 3 + hex column (48) + 3 + text column (16) + CR LF.
constexpr std::size_t kLineWidth = 8 + 3 + 3 * kBytesPerLine + 3 + kBytesPerLine + 2;

// Appends n as upper-case hex, at least eight digits.
void AppendLabel(std::string& out, std::size_t n) {
  char buf[2 * sizeof(std::size_t)];
  int len = 0;
  do {
    buf[len++] = kHexDigits[n & 0xF];
    n >>= 4;
  } while (n != 0);
  for (int i = len; i < 8; ++i) out.push_back('0');
  while (len > 0) out.push_back(buf[--len]);
}

// One line: label, hex column padded to full width, text column, CR LF.
void AppendLine(std::string& out, std::size_t lineNumber, const unsigned char* bytes, std::size_t count) {
  AppendLabel(out, lineNumber * kBytesPerLine);
  out.append(3, ' ');
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 0xF]);
    out.push_back(' ');
  }
  out.append(3 * (kBytesPerLine - count), ' ');
  out.append(3, ' ');
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char b = bytes[i];
    out.push_back(b < 0x20 ? ' ' : (b < 0x80 ? static_cast<char>(b) : '.'));
  }
  out.append("\r\n");
}

}  // namespace

std::string StoHex(std::string_view text) {
  std::string out;
  if (text.empty()) return out;
  out.reserve((text.size() / kBytesPerLine + 1) * kLineWidth);
  unsigned char line[kBytesPerLine];
  std::size_t count = 0;
  std::size_t lineNumber = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b == 0xA5 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xFE) {
      b = 0;  // the NUL marker stands for one zero byte
      ++i;
    }
    line[count++] = b;
    if (count == kBytesPerLine) {
      AppendLine(out, ++lineNumber, line, count);
      count = 0;
    }
  }
  // The closing line comes even when the text ended on a line boundary and it holds no byte.
  AppendLine(out, ++lineNumber, line, count);
  return out;
}

InspectorText ShowDatas(std::string_view localAddress, std::string_view remote, std::string_view packet,
                        std::string_view address, bool hex) {
  InspectorText r;
  std::string& t = r.text;
  t.append("\xB1\xBE\xB5\xD8IP\xA3\xBA ");  // 本地IP：
  t.append(localAddress);
  t.append("\r\n");
  t.append("\xCD\xF8\xD5\xBEIP\xA3\xBA ");  // 网站IP：
  t.append(remote);
  t.append("\r\n");
  t.append("\xCA\xFD\xBE\xDD\xB0\xFC\xA3\xBA \r\n");  // 数据包：
  t.append("\r\n");
  if (hex) {
    t.append(StoHex(packet));
    return r;
  }
  t.append(packet);
  if (!address.empty()) {
    const std::size_t at = t.find(address);
    if (at != std::string::npos) {
      r.selectionStart = at;
      r.selectionLength = address.size();
    }
  }
  return r;
}

}  // namespace qv
