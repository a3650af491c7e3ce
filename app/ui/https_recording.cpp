#include "app/ui/https_recording.h"

#include <QAction>
#include <QMenu>
#include <QStatusBar>
#include <QMainWindow>

#include <cstdlib>
#include <cstring>

#include "app/session/session_controller.h"
#include "app/ui/status_counts.h"
#include "common/codepage.h"
#include "common/ui/prompter.h"
#include "platform/process.h"
#include "settings/app_settings.h"

namespace qv {

HttpsPreferences ReadHttpsPreferences(const AppSettings& settings) {
  HttpsPreferences p;
  // The settings file is GBK; file names and commands are UTF-8 on this system.
  p.keyLogFiles = KeyLogPaths(GbkToUtf8(settings.KeyLogFile()));
  p.browser = GbkToUtf8(settings.HttpsBrowser());
  return p;
}

HttpsRecording::HttpsRecording(SessionController& session, const AppSettings& settings,
                               Prompter& prompter, QWidget* window, Options options)
    : QObject(window),
      session_(session),
      settings_(settings),
      prompter_(prompter),
      window_(window),
      options_(std::move(options)) {
  // The setting may change at any time (the settings dialog): it is read again with every report of
  // the session's counts, so that a running capture follows new files within half a second.
  connect(&session_, &SessionController::CountsChanged, this, [this] {
    Refresh();
    if (cell_ != nullptr) {
      const tls::HttpsCounts c = session_.Https().Counts();
      cell_->SetCounts(c.connections, c.decrypted, c.withoutKeys, c.failed);
    }
  });
  connect(&session_, &SessionController::SessionStarting, this, &HttpsRecording::Refresh);
  connect(&session_, &SessionController::HttpsMessage, this, [this](const QString& text) {
    if (auto* main = qobject_cast<QMainWindow*>(window_)) main->statusBar()->showMessage(text, 15000);
  });
}

HttpsRecording::~HttpsRecording() = default;

void HttpsRecording::AddTo(QMenu* menu) {
  start_ = new QAction(QStringLiteral("用浏览器记录HTTPS…"), window_);
  start_->setObjectName(QStringLiteral("actHttpsBrowser"));
  start_->setStatusTip(QStringLiteral("启动浏览器并让它把 HTTPS 密钥写入本程序的密钥文件，从而列出它访问的完整 HTTPS 地址"));
  keep_ = new QAction(QStringLiteral("退出时保留HTTPS密钥文件"), window_);
  keep_->setObjectName(QStringLiteral("actKeepKeyFile"));
  keep_->setCheckable(true);
  keep_->setStatusTip(QStringLiteral("不勾选时，程序退出时删除密钥文件（持有该文件的人能读取那个浏览器的通信）"));
  menu->addAction(start_);
  menu->addAction(keep_);
  connect(start_, &QAction::triggered, this, &HttpsRecording::StartBrowser);
  connect(keep_, &QAction::toggled, this, [this](bool keep) {
    if (keyFile_) keyFile_->SetKeep(keep);
  });
}

void HttpsRecording::ShowCountsIn(HttpsCountsCell* cell) { cell_ = cell; }

void HttpsRecording::Refresh() {
  std::vector<std::string> files = ReadHttpsPreferences(settings_).keyLogFiles;
  if (keyFile_) files.insert(files.begin(), keyFile_->Path());
  if (files == following_) return;
  following_ = files;
  session_.Https().SetKeyLogFiles(std::move(files));
}

void HttpsRecording::StartBrowser() {

  const HttpsPreferences prefs = ReadHttpsPreferences(settings_);
  BrowserFacts facts;
  facts.chosen = prefs.browser;
  if (facts.chosen.empty()) facts.desktopDefault = options_.desktopDefault ? options_.desktopDefault() : std::string();
  const char* path = std::getenv("PATH");
  facts.path = path ? path : "";
  const BrowserCommand browser = ChooseBrowser(facts);
  if (!browser.Found()) {
    prompter_.Message(window_, BoxKind::Error,
                      QStringLiteral("没有找到能写密钥日志的浏览器（Chromium、Chrome、Brave、Edge 或 Firefox）。"
                                     "请在综合设置中指定浏览器。"),
                      BoxButtons::Ok);
    return;
  }
  if (!keyFile_) {
    std::string folder = options_.keyFolder;
    if (folder.empty()) folder = KeyFileFolder(std::getenv("XDG_RUNTIME_DIR"), std::getenv("HOME"));
    std::string why = folder.empty() ? std::string("neither XDG_RUNTIME_DIR nor HOME is set") : std::string();
    if (!folder.empty()) keyFile_ = KeyFile::Create(folder, &why);
    if (!keyFile_) {
      prompter_.Message(window_, BoxKind::Error,
                        QStringLiteral("无法建立HTTPS密钥文件：%1").arg(QString::fromLocal8Bit(why.c_str())),
                        BoxButtons::Ok);
      return;
    }
    keyFile_->SetKeep(keep_ != nullptr && keep_->isChecked());
  }
  // Followed before the browser writes its first line.
  Refresh();

  // Only the browser is given the key file; StartProgram keeps it from every other program.
  const StartResult r = StartProgram(browser.program, browser.args, ShowState::kNormal,
                                     {std::string(kKeyLogVariable) + "=" + keyFile_->Path()});
  if (!r.Started()) {
    prompter_.Message(window_, BoxKind::Error,
                      QStringLiteral("无法启动浏览器 %1：%2")
                          .arg(QString::fromLocal8Bit(browser.program.c_str()),
                               QString::fromLocal8Bit(std::strerror(r.error))),
                      BoxButtons::Ok);
    return;
  }
  if (auto* main = qobject_cast<QMainWindow*>(window_))
    main->statusBar()->showMessage(
        QStringLiteral("浏览器已启动，密钥写入 %1（浏览器若已在运行，请先完全退出它再用此命令）")
            .arg(QString::fromLocal8Bit(keyFile_->Path().c_str())),
        15000);
}

}  // namespace qv
