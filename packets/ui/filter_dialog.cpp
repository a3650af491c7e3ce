#include "packets/ui/filter_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QStringList>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/bytes.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"

namespace qv {

QString UrlModeFilterSummary(const PacketFilter& filter) {
  QStringList parts;
  if (!filter.siteAddress.empty())
    parts << QStringLiteral("指定网站 %1").arg(FromGbk(filter.siteText.empty() ? filter.siteAddress : filter.siteText));
  if (filter.protocol != 0) parts << QStringLiteral("数据包类型 %1").arg(FromGbk(ProtocolCaption(filter.protocol)));
  if (filter.direction == 1) parts << QStringLiteral("只看网络→→本地");
  if (filter.direction == 2) parts << QStringLiteral("只看本地→→网络");
  if (!filter.contained.empty()) parts << QStringLiteral("包含字符串“%1”").arg(FromGbk(filter.contained));
  return parts.join(QStringLiteral("，"));
}


TForm3::TForm3(const PacketFilter& current, const std::vector<std::string>& hosts, Prompter& prompter,
               Resolver resolve, Applier apply, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      prompter_(prompter),
      resolve_(std::move(resolve)),
      apply_(std::move(apply)) {
  setObjectName(QStringLiteral("TForm3"));
  setWindowTitle(QStringLiteral("数据包过滤设置"));
  setAttribute(Qt::WA_DeleteOnClose);

  siteBox_ = new QComboBox(this);
  siteBox_->setObjectName(QStringLiteral("CBB3"));
  siteBox_->setEditable(true);
  siteBox_->setInsertPolicy(QComboBox::NoInsert);
  packetTypeBox_ = new QComboBox(this);
  packetTypeBox_->setObjectName(QStringLiteral("cbb2"));
  packetTypeBox_->addItems({QStringLiteral("所有"), QStringLiteral("TCP"), QStringLiteral("UDP"), QStringLiteral("ICMP"),
                  QStringLiteral("ISO IP")});
  directionBox_ = new QComboBox(this);
  directionBox_->setObjectName(QStringLiteral("cbb1"));
  directionBox_->addItems(
      {QStringLiteral("所有"), QStringLiteral("网络→→本地"), QStringLiteral("本地→→网络")});
  containsTextEdit_ = new QLineEdit(this);
  containsTextEdit_->setObjectName(QStringLiteral("edt2"));
  minLengthEdit_ = new QLineEdit(QStringLiteral("20"), this);
  minLengthEdit_->setObjectName(QStringLiteral("edt3"));
  minLengthEdit_->setMaxLength(4);
  filterOkButton_ = new QPushButton(QStringLiteral("确定"), this);
  filterOkButton_->setObjectName(QStringLiteral("btn1"));
  filterOkButton_->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("指定网站"), siteBox_);
  form->addRow(QStringLiteral("数据包类型"), packetTypeBox_);
  form->addRow(QStringLiteral("数据包方向"), directionBox_);
  form->addRow(QStringLiteral("包含字符串"), containsTextEdit_);
  form->addRow(QStringLiteral("数据包长度：至少"), minLengthEdit_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(filterOkButton_);
  auto* top = new QVBoxLayout(this);
  top->addLayout(form);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);
  siteBox_->setMinimumWidth(260);

  // Filling from the current settings.
  if (current.minLength > 0) minLengthEdit_->setText(QString::number(current.minLength));
  for (const std::string& host : hosts) siteBox_->addItem(FromGbk(host));
  siteBox_->setEditText(FromGbk(current.siteText));
  containsTextEdit_->setText(FromGbk(current.contained));
  if (current.direction >= 0 && current.direction < directionBox_->count())
    directionBox_->setCurrentIndex(current.direction);
  const int protocolIndex = IndexFromProtocol(current.protocol);
  if (protocolIndex > 0 && protocolIndex < packetTypeBox_->count()) packetTypeBox_->setCurrentIndex(protocolIndex);

  connect(filterOkButton_, &QPushButton::clicked, this, &TForm3::ApplyFilter);
}

void TForm3::ApplyFilter() {
  const std::string site = CutSiteToHost(ToGbk(siteBox_->currentText()));

  // The length is checked before the site is looked up: a wrong length needs no name lookup.
  const std::string length = Trim(ToGbk(minLengthEdit_->text()));
  int minLength = 0;
  for (char ch : length) {
    if (ch < '0' || ch > '9') {
      prompter_.Message(this, BoxKind::Error, QStringLiteral("数据包长度设置有误，请检查！"), BoxButtons::Ok);
      minLengthEdit_->setFocus();
      return;
    }
    minLength = minLength * 10 + (ch - '0');
  }

  std::string siteAddress;
  if (!site.empty()) {
    auto resolved = resolve_ ? resolve_(site) : std::nullopt;
    if (!resolved) {
      prompter_.Message(this, BoxKind::Error,
                        QStringLiteral("无法解析指定网站“%1”的地址，请检查网站名称！").arg(FromGbk(site)),
                        BoxButtons::Ok);
      siteBox_->setFocus();
      return;
    }
    siteAddress = std::move(*resolved);
  }

  PacketFilter filter;
  filter.minLength = minLength;
  filter.siteText = site;
  filter.siteAddress = siteAddress;
  filter.contained = Trim(ToGbk(containsTextEdit_->text()));
  filter.direction = directionBox_->currentIndex();
  filter.protocol = ProtocolFromIndex(packetTypeBox_->currentIndex());
  if (apply_) apply_(std::move(filter));
  confirmed_ = true;
  close();
}

void TForm3::reject() {}

void TForm3::closeEvent(QCloseEvent* event) {
  if (confirmed_) event->accept();
  else event->ignore();
}

}  // namespace qv
