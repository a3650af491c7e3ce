#include "app/ui/about_box.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <optional>
#include <string>

#include "common/ui/gbk_text.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"

namespace qv {
namespace {

QPointer<TAboutBox>& Reference() {
  static QPointer<TAboutBox> box;
  return box;
}

}  // namespace

TAboutBox* TAboutBox::Instance() { return Reference().data(); }

TAboutBox* TAboutBox::ShowAboutBox(const SettingsStore* settings) {
  if (Reference().isNull()) Reference() = new TAboutBox(settings);
  TAboutBox* box = Reference().data();
  box->show();
  box->raise();
  box->activateWindow();
  return box;
}

TAboutBox::TAboutBox(const SettingsStore* settings) : QDialog(nullptr) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("关于Quelvar"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedSize(315, 234);

  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  auto* icon = new QLabel(panel);
  icon->setFixedSize(41, 41);
  icon->setPixmap(QApplication::windowIcon().pixmap(41, 41));
  auto* name = new QLabel(QStringLiteral("Quelvar（Tessoran）"), panel);
  QFont bold = name->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.3);
  name->setFont(bold);

  // The version is read once, when the box is made; without a settings store it is unknown.
  std::optional<std::string> version;
  if (settings != nullptr) {
    AppSettings values;
    values.Load(*settings);
    version = values.Version();
  }
  const bool known = version.has_value();
  versionLabel_ = new QLabel(QStringLiteral("版本： ") + (known ? FromGbk(*version) : QStringLiteral("未知")), panel);
  versionLabel_->setObjectName(QStringLiteral("versionLabel"));
  auto* summary = new QLabel(QStringLiteral("简介:  音乐、视频、图片....一网打尽！"), panel);
  auto* contact = new QLabel(QStringLiteral("作者：Quelvar 开发组\n网站：http://www.quelvar.example/"), panel);
  auto* rights = new QLabel(QStringLiteral("版权所有 (C) Quelvar 开发组"), panel);
  rights->setAlignment(Qt::AlignRight);

  auto* head = new QHBoxLayout;
  head->addWidget(icon, 0, Qt::AlignTop);
  auto* headText = new QVBoxLayout;
  headText->addWidget(name);
  headText->addWidget(versionLabel_);
  head->addLayout(headText, 1);
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->addLayout(head);
  panelLayout->addWidget(summary);
  panelLayout->addWidget(contact);
  panelLayout->addStretch(1);
  panelLayout->addWidget(rights);

  auto* close = new QPushButton(QStringLiteral("关闭"), this);
  close->setObjectName(QStringLiteral("bsSkinButton1"));
  connect(close, &QPushButton::clicked, this, &TAboutBox::CloseBox);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel, 1);
  layout->addWidget(close, 0, Qt::AlignHCenter);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TAboutBox::~TAboutBox() {
  if (Reference().data() == this) Reference().clear();
}

QString TAboutBox::VersionText() const { return versionLabel_->text(); }

void TAboutBox::CloseBox() { close(); }

}  // namespace qv
