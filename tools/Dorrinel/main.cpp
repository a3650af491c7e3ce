// Dorrinel, the simple HTTP downloader that ships beside Quelvar. Quelvar finds its window by title,
// puts a captured request on the clipboard and clicks the window's trigger control; Dorrinel fetches
// the file again and saves it in the download folder.
#include <QApplication>

#include "platform/process.h"
#include "tools/Dorrinel/downloader_window.h"

int main(int argc, char** argv) {
  // Other programs find the window and its trigger through X11: under Wayland, run through Xwayland.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  // Only the trigger needs a native window; its siblings stay plain widgets.
  QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dorrinel"));

  dorrinel::DownloaderWindow window;
  // The program that starts Dorrinel asks for a show state through the environment.
  if (qEnvironmentVariable(qv::kShowStateVariable) == QLatin1String("minimized")) {
    window.showMinimized();
  } else {
    window.show();
  }
  return app.exec();
}
