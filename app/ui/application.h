// The application object: the program-wide look, and the general error handler that shows the text
// of any error a command lets escape, after which the program goes on.
#pragma once
#include <QApplication>
#include <QPointer>
#include <QWidget>

namespace qv {

class QuelvarApplication : public QApplication {
 public:
  QuelvarApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // The program ends when `window` has closed (Ctrl+Q, 退出, the title bar's X), whatever other
  // windows of its own are open then (the help window has no parent and would keep it running).
  void EndWith(QWidget* window) { mainWindow_ = window; }

 private:
  void ShowError(const QString& text);

  QPointer<QWidget> mainWindow_;
};

// Fusion style and a font list that reads Chinese; used by the program and by its tests.
void ApplyLook(QApplication& app);

}  // namespace qv
