// Every question and message the windows put to the user goes through a Prompter, so that tests can
// answer them without a modal loop.
#pragma once
#include <QString>
#include <QStringList>

#include <functional>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace qv {

enum class BoxKind { Error, Warning, Information };
enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class BoxAnswer { Ok, Cancel, Yes, No };

// Where each file dialog was last used, kept from one run to the next by the program. A dialog is
// known by its title: each file dialog of the program has a title of its own.
class DialogFolders {
 public:
  virtual ~DialogFolders() = default;
  // Empty when no folder was kept (or it is gone).
  virtual QString LastFolder(const QString& dialog) const = 0;
  virtual void SetLastFolder(const QString& dialog, const QString& folder) = 0;
};

class Prompter {
 public:
  virtual ~Prompter() = default;
  // A message box. Closing the box answers Cancel (No for a Yes/No box).
  virtual BoxAnswer Message(QWidget* parent, BoxKind kind, const QString& text, BoxButtons buttons) = 0;
  // A text input box; cancelling it gives the empty text.
  virtual QString InputBox(QWidget* parent, const QString& caption, const QString& prompt,
                           const QString& initial) = 0;
  // File dialogs; the empty text when cancelled. The save dialog neither adds an extension nor asks
  // about an existing file.
  virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                               const QString& initialName) = 0;
  virtual QString OpenFileName(QWidget* parent, const QString& title, const QString& filter) = 0;
  // An existing program file, to be run later: its first choice of files shows the programs, the
  // second every file.
  virtual QString OpenProgramName(QWidget* parent, const QString& title) {
    return OpenFileName(parent, title, QStringLiteral("可执行文件 (*);;所有文件 (*)"));
  }
  // Several existing files at once; none when cancelled.
  virtual QStringList OpenFileNames(QWidget* parent, const QString& title, const QString& filter) {
    const QString one = OpenFileName(parent, title, filter);
    return one.isEmpty() ? QStringList() : QStringList{one};
  }

  // The file dialogs open in the folder they were last used in, and keep the new one, here (none:
  // they open where the toolkit opens them). The folders must outlive their use by this prompter.
  void RememberFoldersIn(DialogFolders* folders) { folders_ = folders; }

 protected:
  DialogFolders* Folders() const { return folders_; }

 private:
  DialogFolders* folders_ = nullptr;
};

// The real boxes and dialogs.
class QtPrompter : public Prompter {
 public:
  BoxAnswer Message(QWidget* parent, BoxKind kind, const QString& text, BoxButtons buttons) override;
  QString InputBox(QWidget* parent, const QString& caption, const QString& prompt, const QString& initial) override;
  QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                       const QString& initialName) override;
  QString OpenFileName(QWidget* parent, const QString& title, const QString& filter) override;
  QString OpenProgramName(QWidget* parent, const QString& title) override;
  QStringList OpenFileNames(QWidget* parent, const QString& title, const QString& filter) override;

 private:
  QString StartFolder(const QString& title) const;
  void KeepFolder(const QString& title, const QString& chosenFile);
};

// A message box at least as wide as the window manager needs to show its whole title: a box with a
// short text is otherwise so narrow that the title is cut to "…". Call it once the box has its title,
// text, icon and buttons.
void FitBoxToTitle(QMessageBox& box);
// The width FitBoxToTitle gives a box with this title at the least.
int BoxWidthForTitle(const QWidget& box, const QString& title);

// The open dialog for a program: "可执行文件" (files this user may run, and folders) first, then
// "所有文件". Qt's own dialog, as the file list is filtered by permission. It starts in `folder`.
QFileDialog* NewProgramDialog(QWidget* parent, const QString& title, const QString& folder);

// Runs `action`; an exception it raises (a settings file that cannot be written) is shown to the user
// in an error box over `parent`. False when it raised one.
bool Guarded(Prompter& prompter, QWidget* parent, const std::function<void()>& action);

}  // namespace qv
