#include "common/ui/prompter.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>

#include <exception>
#include <QSortFilterProxyModel>
#include <QSpacerItem>

#include <algorithm>

namespace qv {

namespace {

// The fixed texts use CR LF line breaks; a message box wants LF.
QString BoxText(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

const QString kProgramsFilter = QStringLiteral("可执行文件 (*)");
const QString kAllFilesFilter = QStringLiteral("所有文件 (*)");

// The file list of a program dialog: folders, and the files this user may run (execute permission;
// a link counts by its target). Off, every file shows.
class ProgramFilter : public QSortFilterProxyModel {
 public:
  explicit ProgramFilter(QObject* parent) : QSortFilterProxyModel(parent) {}

  void SetProgramsOnly(bool on) {
    if (on == programsOnly_) return;
    programsOnly_ = on;
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (!programsOnly_) return true;
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (files == nullptr) return true;
    const QFileInfo info = files->fileInfo(files->index(row, 0, parent));
    return info.isDir() || info.isExecutable();
  }

 private:
  bool programsOnly_ = true;
};

}  // namespace

int BoxWidthForTitle(const QWidget& box, const QString& title) {
  // Window managers draw titles in a bold face of about the application's size, beside an icon and
  // up to four buttons about as wide as the title bar is high.
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  const QFontMetrics metrics(font);
  int width = metrics.horizontalAdvance(title) + 5 * (metrics.height() + 10);
  if (const QScreen* screen = box.screen()) width = std::min(width, screen->availableGeometry().width());
  return width;
}

void FitBoxToTitle(QMessageBox& box) {
  const int width = BoxWidthForTitle(box, box.windowTitle());
  // QMessageBox fixes its own size from its layout's minimum: a spacer across the layout widens it.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  std::max(1, grid->columnCount()));
  } else {
    box.setMinimumWidth(width);
  }
}

QFileDialog* NewProgramDialog(QWidget* parent, const QString& title, const QString& folder) {
  auto* dialog = new QFileDialog(parent, title);
  dialog->setOption(QFileDialog::DontUseNativeDialog);  // the file list is filtered by a proxy model
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  auto* filter = new ProgramFilter(dialog);
  dialog->setProxyModel(filter);
  dialog->setNameFilters({kProgramsFilter, kAllFilesFilter});
  dialog->selectNameFilter(kProgramsFilter);
  QObject::connect(dialog, &QFileDialog::filterSelected, filter,
                   [filter](const QString& chosen) { filter->SetProgramsOnly(chosen == kProgramsFilter); });
  if (!folder.isEmpty()) dialog->setDirectory(folder);
  return dialog;
}

BoxAnswer QtPrompter::Message(QWidget* parent, BoxKind kind, const QString& text, BoxButtons buttons) {
  QMessageBox box(parent);
  box.setWindowTitle(QStringLiteral("Quelvar"));
  box.setText(BoxText(text));
  // The person can select and copy what a box says (a command it gives, a path); Fusion leaves a
  // box's text unselectable on Linux.
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
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
  FitBoxToTitle(box);
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

QString QtPrompter::StartFolder(const QString& title) const {
  return Folders() != nullptr ? Folders()->LastFolder(title) : QString();
}

void QtPrompter::KeepFolder(const QString& title, const QString& chosenFile) {
  if (Folders() != nullptr && !chosenFile.isEmpty())
    Folders()->SetLastFolder(title, QFileInfo(chosenFile).absolutePath());
}

QString QtPrompter::SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                 const QString& initialName) {
  const QString folder = StartFolder(title);
  const QString start =
      folder.isEmpty() || QFileInfo(initialName).isAbsolute() ? initialName : folder + QLatin1Char('/') + initialName;
  const QString path = QFileDialog::getSaveFileName(parent, title, start, filter, nullptr,
                                                    QFileDialog::DontConfirmOverwrite);
  KeepFolder(title, path);
  return path;
}

QString QtPrompter::OpenFileName(QWidget* parent, const QString& title, const QString& filter) {
  const QString path = QFileDialog::getOpenFileName(parent, title, StartFolder(title), filter);
  KeepFolder(title, path);
  return path;
}

QStringList QtPrompter::OpenFileNames(QWidget* parent, const QString& title, const QString& filter) {
  const QStringList paths = QFileDialog::getOpenFileNames(parent, title, StartFolder(title), filter);
  if (!paths.isEmpty()) KeepFolder(title, paths.constFirst());
  return paths;
}

QString QtPrompter::OpenProgramName(QWidget* parent, const QString& title) {
  QPointer<QFileDialog> dialog = NewProgramDialog(parent, title, StartFolder(title));
  const bool chosen = dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty();
  const QString path = chosen ? dialog->selectedFiles().constFirst() : QString();
  delete dialog.data();
  KeepFolder(title, path);
  return path;
}

bool Guarded(Prompter& prompter, QWidget* parent, const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    prompter.Message(parent, BoxKind::Error, QString::fromLocal8Bit(e.what()), BoxButtons::Ok);
    return false;
  }
}

}  // namespace qv
