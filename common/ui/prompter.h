// Every question and message the windows put to the user goes through a Prompter, so that tests can
// answer them without a modal loop.
#pragma once
#include <QString>

class QWidget;

namespace qv {

enum class BoxKind { Error, Warning, Information };
enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class BoxAnswer { Ok, Cancel, Yes, No };

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
};

// The real boxes and dialogs.
class QtPrompter : public Prompter {
 public:
  BoxAnswer Message(QWidget* parent, BoxKind kind, const QString& text, BoxButtons buttons) override;
  QString InputBox(QWidget* parent, const QString& caption, const QString& prompt, const QString& initial) override;
  QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                       const QString& initialName) override;
  QString OpenFileName(QWidget* parent, const QString& title, const QString& filter) override;
};

}  // namespace qv
