#include "packets/ui/packet_inspector.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QVBoxLayout>

#include "common/ui/gbk_text.h"
#include "packets/server_name.h"

namespace qv {

InspectorDisplay ToDisplay(const InspectorText& t) {
  // Convert the three parts apart, so that the highlighted range keeps its place whatever the bytes
  // around it decode to.
  const std::string_view all(t.text);
  const std::size_t start = std::min(t.selectionStart, all.size());
  const std::size_t end = std::min(start + t.selectionLength, all.size());
  const QString before = FromGbk(all.substr(0, start));
  const QString middle = FromGbk(all.substr(start, end - start));
  const QString after = FromGbk(all.substr(end));
  const QString joined = before + middle + after;
  const qsizetype b1 = before.size();
  const qsizetype b2 = b1 + middle.size();

  // CR LF and a lone CR become one line break.
  InspectorDisplay d;
  d.text.reserve(joined.size());
  qsizetype newB1 = -1, newB2 = -1;
  for (qsizetype i = 0; i <= joined.size(); ++i) {
    if (i == b1 && newB1 < 0) newB1 = d.text.size();
    if (i == b2 && newB2 < 0) newB2 = d.text.size();
    if (i == joined.size()) break;
    const QChar c = joined[i];
    if (c == QLatin1Char('\r')) {
      if (i + 1 < joined.size() && joined[i + 1] == QLatin1Char('\n')) continue;
      d.text.append(QLatin1Char('\n'));
    } else {
      d.text.append(c);
    }
  }
  if (t.selectionLength > 0) {
    d.selectionStart = static_cast<int>(newB1);
    d.selectionLength = static_cast<int>(newB2 - newB1);
  }
  return d;
}

TForm4::TForm4(std::function<std::string()> localAddress, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      localAddress_(std::move(localAddress)) {
  setObjectName(QStringLiteral("TForm4"));
  setWindowTitle(QStringLiteral("数据包相关信息"));
  setAttribute(Qt::WA_DeleteOnClose);

  packetTextView_ = new QPlainTextEdit(this);
  packetTextView_->setObjectName(QStringLiteral("mmo1"));
  packetTextView_->setReadOnly(true);
  packetTextView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  packetTextView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont font;
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Noto Sans Mono CJK SC"),
                    QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(14);
  packetTextView_->setFont(font);
  QPalette pal = packetTextView_->palette();
  // Cream under a light theme; a dark theme keeps its own dark base and light text.
  if (pal.color(QPalette::Base).lightness() >= 128) {
    pal.setColor(QPalette::Base, QColor(255, 251, 240));
    pal.setColor(QPalette::Text, Qt::black);
  }
  // The highlighted address stays visible while the text box does not have the focus.
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
    pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
  packetTextView_->setPalette(pal);

  // Above the text: what the row's address cannot tell by itself (an HTTPS server name).
  lblNote = new QLabel(this);
  lblNote->setObjectName(QStringLiteral("lblNote"));
  lblNote->setWordWrap(true);
  lblNote->hide();

  hexTextBox_ = new QCheckBox(QStringLiteral("显示十六进制文本"), this);
  hexTextBox_->setObjectName(QStringLiteral("chk1"));
  // Under a dark theme the style outlines the check box in a shade of the window colour that is all
  // but the box's own: a lighter window colour for the box alone (it paints no background) shows it.
  if (QPalette box = hexTextBox_->palette(); box.color(QPalette::Base).lightness() < 128) {
    box.setColor(QPalette::Window, box.color(QPalette::Window).lighter(250));
    hexTextBox_->setPalette(box);
  }
  closeButton_ = new QPushButton(QStringLiteral("关闭"), this);
  closeButton_->setObjectName(QStringLiteral("bsSkinButton1"));

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(hexTextBox_);
  bottom->addStretch();
  bottom->addWidget(closeButton_);
  auto* top = new QVBoxLayout(this);
  top->addWidget(lblNote);
  top->addWidget(packetTextView_);
  top->addLayout(bottom);
  setFixedSize(620, 440);

  connect(hexTextBox_, &QCheckBox::clicked, this, &TForm4::ShowDatas);
  connect(closeButton_, &QPushButton::clicked, this, &TForm4::close);
}

void TForm4::ShowDatas() {
  const std::string local = localAddress_ ? localAddress_() : std::string();
  const InspectorDisplay d = ToDisplay(qv::ShowDatas(local, FRemote, FPacket, FAddress, hexTextBox_->isChecked()));
  packetTextView_->setPlainText(d.text);
  const bool nameOnly = IsServerNameRow(FAddress, FPacket);
  lblNote->setText(nameOnly ? QString::fromUtf8(kServerNameOnly.data(), static_cast<qsizetype>(kServerNameOnly.size()))
                            : QString());
  lblNote->setVisible(nameOnly);
  QTextCursor cursor(packetTextView_->document());
  if (d.selectionLength > 0) {
    cursor.setPosition(d.selectionStart);
    cursor.setPosition(d.selectionStart + d.selectionLength, QTextCursor::KeepAnchor);
  }
  packetTextView_->setTextCursor(cursor);
  packetTextView_->ensureCursorVisible();
}

void TForm4::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
  }
  QDialog::showEvent(event);
}

void TForm4::reject() { close(); }

void TForm4::closeEvent(QCloseEvent* event) {
  emit Closed();
  event->accept();
}

}  // namespace qv
