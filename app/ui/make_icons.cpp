// Writes the program's icon as PNG files of the sizes the desktop's icon theme uses, drawn by the code
// that draws the window's icon: OUTDIR/hicolor/NxN/apps/quelvar.png. Run by the build.
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>

#include <cstdio>

#include "app/ui/icons.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quelvar-icons OUTDIR\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QIcon icon = qv::AppIcon();
  for (int size : {16, 24, 32, 48, 64, 128}) {
    const QString dir = QStringLiteral("%1/hicolor/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    const QPixmap pm = icon.pixmap(size, size);
    if (!QDir().mkpath(dir) || pm.width() != size || !pm.save(dir + QStringLiteral("/quelvar.png"))) {
      std::fprintf(stderr, "quelvar-icons: cannot write the %dx%d icon\n", size, size);
      return 1;
    }
  }
  return 0;
}
