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

  CBB3 = new QComboBox(this);
  CBB3->setObjectName(QStringLiteral("CBB3"));
  CBB3->setEditable(true);
  CBB3->setInsertPolicy(QComboBox::NoInsert);
  cbb2 = new QComboBox(this);
  cbb2->setObjectName(QStringLiteral("cbb2"));
  cbb2->addItems({QStringLiteral("所有"), QStringLiteral("TCP"), QStringLiteral("UDP"), QStringLiteral("ICMP"),
                  QStringLiteral("ISO IP")});
  cbb1 = new QComboBox(this);
  cbb1->setObjectName(QStringLiteral("cbb1"));
  cbb1->addItems({QStringLiteral("所有"), QStringLiteral("网络→→本地"), QStringLiteral("本地→→网络")});
  edt2 = new QLineEdit(this);
  edt2->setObjectName(QStringLiteral("edt2"));
  edt3 = new QLineEdit(QStringLiteral("20"), this);
  edt3->setObjectName(QStringLiteral("edt3"));
  edt3->setMaxLength(4);
  btn1 = new QPushButton(QStringLiteral("确定"), this);
  btn1->setObjectName(QStringLiteral("btn1"));
  btn1->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("指定网站"), CBB3);
  form->addRow(QStringLiteral("数据包类型"), cbb2);
  form->addRow(QStringLiteral("数据包方向"), cbb1);
  form->addRow(QStringLiteral("包含字符串"), edt2);
  form->addRow(QStringLiteral("数据包长度：至少"), edt3);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btn1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(form);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);
  CBB3->setMinimumWidth(260);

  // Filling from the current settings.
  if (current.minLength > 0) edt3->setText(QString::number(current.minLength));
  for (const std::string& host : hosts) CBB3->addItem(FromGbk(host));
  CBB3->setEditText(FromGbk(current.siteText));
  edt2->setText(FromGbk(current.contained));
  if (current.direction >= 0 && current.direction < cbb1->count()) cbb1->setCurrentIndex(current.direction);
  const int protocolIndex = IndexFromProtocol(current.protocol);
  if (protocolIndex > 0 && protocolIndex < cbb2->count()) cbb2->setCurrentIndex(protocolIndex);

  connect(btn1, &QPushButton::clicked, this, &TForm3::btn1Click);
}

void TForm3::btn1Click() {
  const std::string site = CutSiteToHost(ToGbk(CBB3->currentText()));

  // The length is checked before the site is looked up: a wrong length needs no name lookup.
  const std::string length = Trim(ToGbk(edt3->text()));
  int minLength = 0;
  for (char ch : length) {
    if (ch < '0' || ch > '9') {
      prompter_.Message(this, BoxKind::Error, QStringLiteral("数据包长度设置有误，请检查！"), BoxButtons::Ok);
      edt3->setFocus();
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
      CBB3->setFocus();
      return;
    }
    siteAddress = std::move(*resolved);
  }

  PacketFilter filter;
  filter.minLength = minLength;
  filter.siteText = site;
  filter.siteAddress = siteAddress;
  filter.contained = Trim(ToGbk(edt2->text()));
  filter.direction = cbb1->currentIndex();
  filter.protocol = ProtocolFromIndex(cbb2->currentIndex());
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
