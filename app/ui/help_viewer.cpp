#include "app/ui/help_viewer.h"

#include "app/ui/program_files.h"

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>

#include <algorithm>

namespace qv {

namespace {

// Links to other pages of the help stay in the window; addresses of the web go to the desktop.
// Escape closes the window. It is a window of its own (no parent), so it never keeps the program
// running once the main window has closed.
class HelpViewer : public QTextBrowser {
 public:
  HelpViewer() {
    setObjectName(QStringLiteral("HelpViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
      if (url.isLocalFile() || url.isRelative()) setSource(source().resolved(url));
      else QDesktopServices::openUrl(url);
    });
    resize(kWidth, kHeight);
  }

  // Sized and placed inside the free part of the screen the person works on (the active window's,
  // else the primary one), title bar and frame included, at any size and scale of that screen.
  void FitToScreen() {
    QWidget* active = QApplication::activeWindow();
    QScreen* screen = active != nullptr && active != this ? active->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect room = screen->availableGeometry();
    // The frame is known once the window is on screen; before, a title bar's worth is kept free.
    const QMargins frame = isVisible() ? QMargins(geometry().left() - frameGeometry().left(),
                                                  geometry().top() - frameGeometry().top(),
                                                  frameGeometry().right() - geometry().right(),
                                                  frameGeometry().bottom() - geometry().bottom())
                                       : QMargins(4, 32, 4, 4);
    const int width = std::min(kWidth, room.width() - frame.left() - frame.right() - 2 * kGap);
    const int height = std::min(kHeight, room.height() - frame.top() - frame.bottom() - 2 * kGap);
    resize(std::max(width, 200), std::max(height, 150));
    QRect outer = frameGeometry();
    outer.setSize(size().grownBy(frame));
    outer.moveCenter(room.center());
    move(outer.topLeft());
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
      close();
      return;
    }
    QTextBrowser::keyPressEvent(event);
  }

 private:
  static constexpr int kWidth = 760;
  static constexpr int kHeight = 600;
  static constexpr int kGap = 20;
};

QPointer<HelpViewer>& Viewer() {
  static QPointer<HelpViewer> viewer;
  return viewer;
}

}  // namespace

QString ShowHelpFile(const QString& programDir) {
  const QString path = DataFolder(programDir) + QLatin1Char('/') + QLatin1String(kHelpFileName);
  const bool fresh = !Viewer();
  if (fresh) Viewer() = new HelpViewer;
  HelpViewer* viewer = Viewer();
  if (QFileInfo(path).isFile()) {
    viewer->setSource(QUrl::fromLocalFile(path));
    viewer->setWindowTitle(viewer->documentTitle());
  } else {
    viewer->setSource(QUrl());
    viewer->setPlainText(QStringLiteral("找不到帮助文件：%1").arg(path));
    viewer->setWindowTitle(QStringLiteral("Quelvar 帮助"));
  }
  if (fresh) viewer->FitToScreen();
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return path;
}

}  // namespace qv
