#include "app/ui/quick_filter.h"

#include <QKeyEvent>

namespace qv {

QuickFilterEdit::QuickFilterEdit(QWidget* parent) : QLineEdit(parent) {
  setObjectName(QStringLiteral("edtFilter"));
  setPlaceholderText(QStringLiteral("筛选：地址或数据包内容包含的文字（Ctrl+F）"));
  setClearButtonEnabled(true);
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, [this] { emit FilterChanged(text()); });
  connect(this, &QLineEdit::textChanged, this, [this](const QString& t) {
    if (t.isEmpty()) {
      // Emptied (Escape, the clear button): every row comes back at once.
      settle_.stop();
      emit FilterChanged(t);
    } else {
      settle_.start();
    }
  });
}

void QuickFilterEdit::Summon() {
  setFocus(Qt::ShortcutFocusReason);
  selectAll();
}

void QuickFilterEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && !text().isEmpty()) {
    clear();
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Down || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // The rows follow the text at once, not after the pause.
    if (settle_.isActive()) {
      settle_.stop();
      emit FilterChanged(text());
    }
    emit ToRows();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

}  // namespace qv
