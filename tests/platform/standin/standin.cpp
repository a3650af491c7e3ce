// A stand-in for a download manager (NetTransport, FlashGet) in tests: a window with a given title that
// writes down everything that reaches it. Each line of the log (UTF-8, appended, flushed at once):
//   start title=<title> show=<QUELVAR_SHOW_STATE> pid=<pid>
//   key <name> clipboard=<clipboard text at that moment, CR/LF/backslash escaped>
//   press <button> <x> <y>      release <button> <x> <y>      click <x> <y>
// Title: the first argument, else the one the program was built with. Log file: the second
// argument, else $QUELVAR_STANDIN_LOG, else nothing is written.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QWidget>
#include <unistd.h>

namespace {

QString gLogPath;

void Log(const QString& line) {
  if (gLogPath.isEmpty()) return;
  QFile f(gLogPath);
  if (!f.open(QIODevice::Append | QIODevice::WriteOnly)) return;
  f.write(line.toUtf8() + '\n');
}

QString Escaped(QString s) {
  s.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
  s.replace(QLatin1Char('\r'), QLatin1String("\\r"));
  s.replace(QLatin1Char('\n'), QLatin1String("\\n"));
  return s;
}

QString KeyName(int key) {
  if (key >= Qt::Key_F1 && key <= Qt::Key_F35) return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
  switch (key) {
    case Qt::Key_Insert: return QStringLiteral("Insert");
    case Qt::Key_Delete: return QStringLiteral("Delete");
    case Qt::Key_Return: case Qt::Key_Enter: return QStringLiteral("Enter");
    case Qt::Key_Escape: return QStringLiteral("Escape");
    case Qt::Key_Tab: return QStringLiteral("Tab");
    case Qt::Key_Backspace: return QStringLiteral("Backspace");
    case Qt::Key_Space: return QStringLiteral("Space");
    default: return QKeySequence(key).toString();
  }
}

QString ButtonName(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton: return QStringLiteral("left");
    case Qt::RightButton: return QStringLiteral("right");
    case Qt::MiddleButton: return QStringLiteral("middle");
    default: return QStringLiteral("other");
  }
}

class StandIn : public QWidget {
 protected:
  void keyPressEvent(QKeyEvent* e) override {
    Log(QStringLiteral("key %1 clipboard=%2").arg(KeyName(e->key()), Escaped(QGuiApplication::clipboard()->text())));
  }
  void mousePressEvent(QMouseEvent* e) override {
    const QPoint p = e->position().toPoint();
    Log(QStringLiteral("press %1 %2 %3").arg(ButtonName(e->button())).arg(p.x()).arg(p.y()));
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    const QPoint p = e->position().toPoint();
    Log(QStringLiteral("release %1 %2 %3").arg(ButtonName(e->button())).arg(p.x()).arg(p.y()));
    if (e->button() == Qt::LeftButton && rect().contains(p)) Log(QStringLiteral("click %1 %2").arg(p.x()).arg(p.y()));
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  QApplication app(argc, argv);
  const QString title = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString::fromUtf8(STANDIN_TITLE);
  gLogPath = argc > 2 ? QString::fromLocal8Bit(argv[2]) : qEnvironmentVariable("QUELVAR_STANDIN_LOG");

  StandIn window;
  window.setWindowTitle(title);
  window.resize(320, 200);
  const QString show = qEnvironmentVariable("QUELVAR_SHOW_STATE");
  Log(QStringLiteral("start title=%1 show=%2 pid=%3").arg(title, show).arg(::getpid()));
  if (show == QLatin1String("minimized")) {
    window.showMinimized();
  } else {
    window.show();
  }
  return app.exec();
}
