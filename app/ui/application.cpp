#include "app/ui/application.h"

#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QMessageBox>
#include <QStyleFactory>

#include <exception>

#include "common/ui/icons.h"
#include "common/ui/prompter.h"

namespace qv {

QuelvarApplication::QuelvarApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool QuelvarApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowError(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowError(QStringLiteral("Unknown error"));
  }
  return false;
}

void QuelvarApplication::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Quelvar"), text, QMessageBox::Ok, activeWindow());
  FitBoxToTitle(box);
  box.exec();
}

void ApplyLook(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("Quelvar"));
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
  QFont font = QApplication::font();
  font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
  QApplication::setFont(font);
  app.setWindowIcon(AppIcon());
  // Qt's own dialogs and buttons speak the program's language: a box that says 按"是" has a 是 button.
  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(translator);
  else
    delete translator;
}

}  // namespace qv
