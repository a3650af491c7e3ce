#include "app/ui/help_viewer.h"

#include "app/ui/program_files.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>

namespace qv {

namespace {

// Links to other pages of the help stay in the window; addresses of the web go to the desktop.
class HelpViewer : public QTextBrowser {
 public:
  HelpViewer() {
    setObjectName(QStringLiteral("HelpViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
      if (url.isLocalFile() || url.isRelative()) setSource(source().resolved(url));
      else QDesktopServices::openUrl(url);
    });
    resize(760, 600);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect room = screen->availableGeometry();
      resize(std::min(760, room.width() - 40), std::min(600, room.height() - 40));
    }
  }
};

QPointer<HelpViewer>& Viewer() {
  static QPointer<HelpViewer> viewer;
  return viewer;
}

}  // namespace

QString N29Click(const QString& programDir) {
  const QString path = DataFolder(programDir) + QLatin1Char('/') + QLatin1String(kHelpFileName);
  if (!Viewer()) Viewer() = new HelpViewer;
  HelpViewer* viewer = Viewer();
  if (QFileInfo(path).isFile()) {
    viewer->setSource(QUrl::fromLocalFile(path));
    viewer->setWindowTitle(viewer->documentTitle());
  } else {
    viewer->setSource(QUrl());
    viewer->setPlainText(QStringLiteral("找不到帮助文件：%1").arg(path));
    viewer->setWindowTitle(QStringLiteral("Quelvar 帮助"));
  }
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return path;
}

}  // namespace qv
