#include "app/ui/application.h"

#include <QFont>
#include <QPalette>
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
    const bool done = QApplication::notify(receiver, event);
    // A close the window accepted ends the program, once the close itself is over.
    if (event->type() == QEvent::Close && event->isAccepted() && receiver != nullptr && receiver == mainWindow_)
      QMetaObject::invokeMethod(this, &QCoreApplication::quit, Qt::QueuedConnection);
    return done;
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

namespace {

// A dark variant of the Fusion colours, for a desktop that asks for dark windows the way GTK
// programs are asked (GTK_THEME=NAME:dark); Debian's Qt has no platform theme that would pass it on.
QPalette DarkPalette() {
  QPalette p;
  const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230), disabled(130, 130, 130);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, disabled);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::red);
  p.setColor(QPalette::Link, QColor(110, 170, 255));
  p.setColor(QPalette::Highlight, QColor(53, 132, 228));
  p.setColor(QPalette::HighlightedText, Qt::white);
  // The shades the style draws frames, grid lines and check-box outlines with; left unset they stay
  // the light palette's (a white grid, check boxes that vanish on the dark base).
  p.setColor(QPalette::Light, QColor(110, 110, 116));
  p.setColor(QPalette::Midlight, QColor(85, 85, 90));
  p.setColor(QPalette::Mid, QColor(70, 70, 75));
  p.setColor(QPalette::Dark, QColor(20, 20, 22));
  p.setColor(QPalette::Shadow, QColor(0, 0, 0));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, disabled);
  return p;
}

}  // namespace

void ApplyLook(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("Quelvar"));
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
  if (qEnvironmentVariable("GTK_THEME").endsWith(QStringLiteral(":dark"), Qt::CaseInsensitive))
    QApplication::setPalette(DarkPalette());
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
