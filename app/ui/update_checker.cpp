#include "app/ui/update_checker.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include "app/ui/program_files.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"
#include "platform/process.h"
#include "settings/settings_store.h"

namespace qv {
namespace {

const char kNotConnected[] = "\xCE\xB4\xC1\xAC\xBD\xD3\xB5\xBD\xC9\xFD\xBC\xB6\xB7\xFE\xCE\xF1\xC6\xF7\xA3\xA1";  // 未连接到升级服务器！
const char kNewest[] = "\xD2\xD1\xBE\xAD\xCA\xC7\xD7\xEE\xD0\xC2\xB0\xE6\xB1\xBE\xA3\xA1";  // 已经是最新版本！
// 程序发现有了更新的版本，是否需要升级？
const char kAskUpdate[] = "\xB3\xCC\xD0\xF2\xB7\xA2\xCF\xD6\xD3\xD0\xC1\xCB\xB8\xFC\xD0\xC2\xB5\xC4\xB0\xE6\xB1\xBE\xA3\xAC\xCA\xC7\xB7\xF1\xD0\xE8\xD2\xAA\xC9\xFD\xBC\xB6\xA3\xBF";

}  // namespace

UpdateChecker::UpdateChecker(SettingsStore& settings, Prompter& prompter, QWidget* window,
                             UpdateCheckerOptions options)
    : QObject(nullptr),
      settings_(settings),
      prompter_(prompter),
      window_(window),
      options_(std::move(options)),
      timedCheckTimer_(new QTimer(this)) {
  timedCheckTimer_->setInterval(options_.timedCheckMs);
  connect(timedCheckTimer_, &QTimer::timeout, this, &UpdateChecker::OnUpdateCheckTimer);
}

QString UpdateChecker::ProgramDir() const {
  return HelperFolder(options_.programDir);
}

void UpdateChecker::Report(const std::exception& e) {
  prompter_.Message(window_, BoxKind::Error, QString::fromLocal8Bit(e.what()), BoxButtons::Ok);
}

// Fetches `url` into `path`, waiting for the answer while the event loop runs. The body is written to
// the file as it arrives; the file is kept only for a complete answer of status 200 that stayed within
// the size limit and arrived before the deadline.
bool UpdateChecker::Fetch(const std::string& url, const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  QNetworkAccessManager manager;
  QNetworkRequest request(QUrl(QString::fromStdString(url)));
  request.setTransferTimeout(options_.downloadTimeoutMs);
  QNetworkReply* reply = manager.get(request);
  reply->setReadBufferSize(64 * 1024);  // the body goes to the file; never gather much of it in memory

  bool failed = false;
  qint64 received = 0;
  auto fail = [&] {
    failed = true;
    reply->abort();
  };
  QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > options_.maxInfoBytes) fail();
  });
  auto drain = [&] {
    if (failed) return;
    const QByteArray chunk = reply->read(options_.maxInfoBytes + 1 - received);
    received += chunk.size();
    if (received > options_.maxInfoBytes || file.write(chunk) != chunk.size()) fail();
  };
  QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, reply, fail);
  deadline.start(options_.deadlineMs);

  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  if (!reply->isFinished()) loop.exec();
  deadline.stop();
  if (reply->bytesAvailable() > 0) drain();  // what arrived with the end
  const bool ok = !failed && reply->error() == QNetworkReply::NoError &&
                  reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
  reply->disconnect();
  reply->deleteLater();
  const bool written = ok && file.flush();
  file.close();
  if (!written) file.remove();
  return written;
}

int UpdateChecker::UPdata() {
  if (checking_) return 0;
  checking_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{checking_};
  const update::Downloader download = [this](const std::string& url, const std::string& path) {
    return Fetch(url, path);
  };
  // A folder of this check's own: nobody else can put a file of that name there meanwhile.
  QTemporaryDir folder;
  if (!folder.isValid()) return 0;
  return static_cast<int>(update::UPdata(download, QFile::encodeName(folder.path()).toStdString(), settings_, options_.base));
}

bool UpdateChecker::StartUpdater() {
  // From the program folder, whatever the current directory is.
  const std::string updater = ProgramDir().toStdString() + "/" + std::string(update::kUpdaterProgram);
  return StartProgram(updater, {}, ShowState::kNormal).Started();
}

void UpdateChecker::CheckForUpdate() {
  if (checking_) return;  // the check already running answers
  try {
    switch (UPdata()) {
      case 0:
        prompter_.Message(window_, BoxKind::Warning, FromGbk(kNotConnected), BoxButtons::Ok);
        break;
      case 1:
        prompter_.Message(window_, BoxKind::Information, FromGbk(kNewest), BoxButtons::Ok);
        break;
      default:
        if (prompter_.Message(window_, BoxKind::Information, FromGbk(kAskUpdate), BoxButtons::YesNo) ==
            BoxAnswer::Yes) {
          StartUpdater();
          if (window_ != nullptr) window_->close();
        }
        break;
    }
  } catch (const std::exception& e) {
    Report(e);
  }
}

void UpdateChecker::OnUpdateCheckTimer() {
  timedCheckTimer_->stop();  // once per run
  if (checking_) return;  // the user's own check is running
  try {
    if (UPdata() != 2) return;
    if (prompter_.Message(window_, BoxKind::Information, FromGbk(kAskUpdate), BoxButtons::YesNo) != BoxAnswer::Yes) {
      return;
    }
    const unsigned long long handle = window_ != nullptr ? static_cast<unsigned long long>(window_->winId()) : 0;
    update::LeaveValuesForUpdater(settings_, handle, options_.base);
    StartUpdater();
  } catch (const std::exception& e) {
    Report(e);
  }
}

}  // namespace qv
