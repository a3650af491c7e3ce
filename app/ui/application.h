// The application object: the program-wide look, and the general error handler that shows the text
// of any error a command lets escape, after which the program goes on.
#pragma once
#include <QApplication>

namespace qv {

class QuelvarApplication : public QApplication {
 public:
  QuelvarApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  void ShowError(const QString& text);
};

// Fusion style and a font list that reads Chinese; used by the program and by its tests.
void ApplyLook(QApplication& app);

}  // namespace qv
