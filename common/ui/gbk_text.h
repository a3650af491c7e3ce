// The core keeps GBK bytes; the widgets show Unicode. These convert at that edge only.
#pragma once
#include <QString>

#include <string>
#include <string_view>

namespace qv {

// GBK bytes to a QString; bytes that are not GBK show as U+FFFD.
QString FromGbk(std::string_view gbk);
// A QString to GBK bytes; characters that GBK lacks become "?".
std::string ToGbk(const QString& text);

// A list cell as one line of text: at most `maxBytes` bytes (cut at a character boundary), control
// bytes shown as blanks.
QString CellText(std::string_view gbk, std::size_t maxBytes = 1024);

}  // namespace qv
