#include "app/ui/follow_newest.h"

#include <QAbstractItemView>
#include <QScrollBar>

namespace qv {

FollowNewest::FollowNewest(QAbstractItemView& view, std::function<bool()> inListOrder)
    : QObject(&view), view_(view), inListOrder_(std::move(inListOrder)) {
  QScrollBar* bar = view_.verticalScrollBar();
  following_ = bar->value() == bar->maximum();
  // The person's scrolling moves the value; new rows only move the maximum.
  connect(bar, &QScrollBar::valueChanged, this, &FollowNewest::OnValueChanged);
  connect(bar, &QScrollBar::rangeChanged, this, &FollowNewest::OnRangeChanged);
}

void FollowNewest::OnValueChanged(int value) { following_ = value == view_.verticalScrollBar()->maximum(); }

void FollowNewest::OnRangeChanged(int, int max) {
  if (following_ && (!inListOrder_ || inListOrder_())) view_.verticalScrollBar()->setValue(max);
}

}  // namespace qv
