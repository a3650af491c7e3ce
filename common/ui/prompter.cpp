#include "common/ui/prompter.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace qv {

namespace {

// The fixed texts use CR LF line breaks; a message box wants LF.
QString BoxText(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

}  // namespace

BoxAnswer QtPrompter::Message(QWidget* parent, BoxKind kind, const QString& text, BoxButtons buttons) {
  QMessageBox box(parent);
  box.setWindowTitle(QStringLiteral("Quelvar"));
  box.setText(BoxText(text));
  box.setIcon(kind == BoxKind::Error     ? QMessageBox::Critical
              : kind == BoxKind::Warning ? QMessageBox::Warning
                                         : QMessageBox::Information);
  QMessageBox::StandardButtons set;
  QMessageBox::StandardButton escape = QMessageBox::Cancel;
  switch (buttons) {
    case BoxButtons::Ok: set = QMessageBox::Ok; escape = QMessageBox::Ok; break;
    case BoxButtons::OkCancel: set = QMessageBox::Ok | QMessageBox::Cancel; break;
    case BoxButtons::YesNo: set = QMessageBox::Yes | QMessageBox::No; escape = QMessageBox::No; break;
    case BoxButtons::YesNoCancel: set = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
  }
  box.setStandardButtons(set);
  box.setEscapeButton(escape);
  const int r = box.exec();
  switch (r) {
    case QMessageBox::Ok: return buttons == BoxButtons::Ok || buttons == BoxButtons::OkCancel ? BoxAnswer::Ok : BoxAnswer::Cancel;
    case QMessageBox::Yes: return BoxAnswer::Yes;
    case QMessageBox::No: return BoxAnswer::No;
    default: return buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Cancel;
  }
}

QString QtPrompter::InputBox(QWidget* parent, const QString& caption, const QString& prompt, const QString& initial) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, initial, &ok);
  return ok ? text : QString();
}

QString QtPrompter::SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                 const QString& initialName) {
  return QFileDialog::getSaveFileName(parent, title, initialName, filter, nullptr,
                                      QFileDialog::DontConfirmOverwrite);
}

QString QtPrompter::OpenFileName(QWidget* parent, const QString& title, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, title, QString(), filter);
}

}  // namespace qv
