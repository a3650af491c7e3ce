// The prompter of the window tests: it records every box and input and answers from a script.
#pragma once
#include <QString>

#include <deque>
#include <functional>
#include <vector>

#include "common/ui/prompter.h"

namespace qv::testing {

class ScriptedPrompter : public Prompter {
 public:
  struct Box {
    BoxKind kind;
    QString text;
    BoxButtons buttons;
  };
  std::vector<Box> boxes;
  std::deque<BoxAnswer> answers;  // taken in order; Cancel (No for Yes/No) when empty
  QString inputAnswer;
  std::vector<QString> inputs;  // caption + "|" + prompt + "|" + initial of each input box
  QString saveName;
  QString openName;
  QStringList openNames;  // OpenFileNames' answer
  // Runs while a box is open, before it is answered: a person who answers late.
  std::function<void(const Box&)> whileOpen;

  BoxAnswer Message(QWidget*, BoxKind kind, const QString& text, BoxButtons buttons) override {
    boxes.push_back({kind, text, buttons});
    if (whileOpen) whileOpen(boxes.back());
    if (answers.empty()) return buttons == BoxButtons::YesNo ? BoxAnswer::No : (buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel);
    const BoxAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  QString InputBox(QWidget*, const QString& caption, const QString& prompt, const QString& initial) override {
    inputs.push_back(caption + "|" + prompt + "|" + initial);
    return inputAnswer;
  }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return saveName; }
  QString OpenFileName(QWidget*, const QString&, const QString&) override { return openName; }
  QStringList OpenFileNames(QWidget*, const QString&, const QString&) override { return openNames; }
};

}  // namespace qv::testing
