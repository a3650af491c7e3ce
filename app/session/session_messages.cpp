#include "app/session/session_messages.h"

#include <QStringList>

namespace qv {

QString OpenFileQuestion(std::size_t listedRows, bool capturing) {
  if (listedRows == 0 && !capturing) return {};
  QString what;
  if (capturing && listedRows > 0)
    what = QStringLiteral("打开抓包文件将停止正在进行的嗅探，并清空列表中的 %1 行（包括备注）。").arg(listedRows);
  else if (capturing)
    what = QStringLiteral("打开抓包文件将停止正在进行的嗅探。");
  else
    what = QStringLiteral("打开抓包文件将清空列表中的 %1 行（包括备注）。").arg(listedRows);
  return what + QStringLiteral("\n是否继续？");
}

QString MessageWithCommands(const QString& text) {
  const QStringList lines = text.split(QLatin1Char('\n'));
  bool hasCommand = false;
  for (const QString& line : lines) hasCommand = hasCommand || line.startsWith(QStringLiteral("sudo "));
  if (!hasCommand) return text;
  QString html;
  QStringList paragraph;
  const auto flush = [&] {
    if (!paragraph.isEmpty()) html += QStringLiteral("<p>") + paragraph.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
    paragraph.clear();
  };
  for (const QString& line : lines) {
    if (line.startsWith(QStringLiteral("sudo "))) {
      flush();
      html += QStringLiteral("<p style=\"white-space:pre\"><code>") + line.toHtmlEscaped() + QStringLiteral("</code></p>");
    } else if (line.isEmpty()) {
      flush();
    } else {
      paragraph << line.toHtmlEscaped();
    }
  }
  flush();
  return html;
}

}  // namespace qv
