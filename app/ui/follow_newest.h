// Keeps a list view on its newest row while the person leaves it at the bottom, as a terminal does:
// scrolling up stops the following, scrolling back to the bottom resumes it.
#pragma once
#include <QObject>

#include <functional>

class QAbstractItemView;

namespace qv {

class FollowNewest : public QObject {
 public:
  // `inListOrder` tells whether the newest rows are the last ones (no column sort).
  FollowNewest(QAbstractItemView& view, std::function<bool()> inListOrder);

 private:
  void OnValueChanged(int value);
  void OnRangeChanged(int min, int max);

  QAbstractItemView& view_;
  std::function<bool()> inListOrder_;
  bool following_ = true;  // an empty list is at its bottom
};

}  // namespace qv
