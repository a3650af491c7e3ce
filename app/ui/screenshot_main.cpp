// quelvar-screenshot CAPTURE OUTPUT.png: opens the main window on a capture file, waits until every
// row is listed, selects the first red row and saves a picture of the window. Questions are answered
// with their safe choice; settings come from a private copy of setting.ini that does not start live
// sniffing.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include "app/ui/application.h"
#include "app/session/list_models.h"
#include "app/ui/main_window.h"
#include "capture/pcap_net.h"
#include "common/texts.h"
#include "common/ui/prompter.h"
#include "settings/settings_store.h"

namespace {

class QuietPrompter : public qv::Prompter {
 public:
  qv::BoxAnswer Message(QWidget*, qv::BoxKind, const QString& text, qv::BoxButtons) override {
    std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    return qv::BoxAnswer::Cancel;
  }
  QString InputBox(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString OpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
};

void Wait(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quelvar-screenshot CAPTURE OUTPUT.png\n");
    return 2;
  }
  qv::PcapNet net;
  net.Bind();
  int rc = 0;
  {
    qv::QuelvarApplication app(argc, argv);
    qv::ApplyLook(app);
    QTemporaryDir dir;
    const QString ini = dir.path() + QStringLiteral("/setting.ini");
    if (!QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/setting.ini"), ini)) {
      std::fprintf(stderr, "setting.ini not found beside the program\n");
      return 1;
    }
    QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner);
    qv::SettingsStore(QFile::encodeName(ini).toStdString()).WriteBool("system", "autoRun", false);

    QuietPrompter prompter;
    qv::TForm1 form(net, prompter, qv::TForm1Options::Offline(dir.path()));
    form.show();
    if (!form.OpenCaptureFile(QString::fromLocal8Bit(argv[1]))) return 1;
    QElapsedTimer clock;
    clock.start();
    while ((form.SessionRunning() || form.Pump().Backlog() > 0) && clock.elapsed() < 60000) Wait(50);
    form.Pump().DrainAll();
    Wait(1200);  // the local address list and the status bar settle

    // A red row if there is one, else the first picture, else the first row.
    const auto& rows = form.List().Lv1();
    int pick = rows.empty() ? -1 : 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (qv::RowIsRed(rows[i])) {
        pick = static_cast<int>(i);
        break;
      }
      if (pick == 0 && rows[i].caption == qv::texts::kCatPicture) pick = static_cast<int>(i);
    }
    if (pick >= 0) form.mainListView_->selectRow(pick);
    if (rows.empty()) std::fprintf(stderr, "no rows listed\n");
    Wait(300);
    rc = form.grab().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    std::fprintf(stderr, "%zu rows, picture %s\n", rows.size(), rc == 0 ? "saved" : "not saved");
  }
  net.Release();
  return rc;
}
