// The search field above the lists: what is typed narrows the visible rows a moment later (typing a
// word filters once, not once per key); Escape empties it; Down or Enter goes on to the rows.
#pragma once
#include <QLineEdit>
#include <QTimer>

namespace qv {

class QuickFilterEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit QuickFilterEdit(QWidget* parent = nullptr);
  // How long typing must pause before the lists follow.
  static constexpr int kSettleMs = 150;
  // Takes the focus with the text selected, so that typing replaces it (Ctrl+F).
  void Summon();

 signals:
  // The text to filter by, after typing settled or at once when the field was emptied.
  void FilterChanged(const QString& text);
  // Down or Enter: the person is done typing and goes on to the rows.
  void ToRows();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QTimer settle_;
};

}  // namespace qv
