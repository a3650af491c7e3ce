// The status-bar panel with the session's figures: rows listed (and shown, while the quick filter
// narrows the list), frames seen by the capture, and frames dropped once the capture reports them.
// It and the capture-file panel give way when the bar is short: they are cut with "…" (the whole text
// as their tooltip), so that the panels of the window's own texts keep their width.
#pragma once
#include <QLabel>

#include <cstdint>
#include <optional>

namespace qv {

// A one-line label that can shrink below its text's width: the text is then cut with "…", and the
// tooltip shows it whole unless one was set.
class ElidingLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override;
  // True when the text is cut to fit the width the label has now.
  bool Elided() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
};

class StatusCounts : public ElidingLabel {
 public:
  explicit StatusCounts(QWidget* parent = nullptr);
  // Rows of the visible list, and how many of them the filter lets through.
  void SetRows(int total, int shown);
  // The session's frames; `dropped` only when the capture library counts them. Nothing before the
  // first session.
  void SetFrames(std::uint64_t frames, std::optional<std::uint64_t> dropped);

 private:
  void Show();

  int total_ = 0;
  int shown_ = 0;
  std::optional<std::uint64_t> frames_;
  std::optional<std::uint64_t> dropped_;
};

// The status-bar cell with the HTTPS connections read through key logs: decrypted, without keys and
// (when any) failed. Hidden while the session has seen no TLS connection; cut with "…" as the counts
// panel is when the bar is short.
class HttpsCountsCell : public ElidingLabel {
 public:
  explicit HttpsCountsCell(QWidget* parent = nullptr);
  void SetCounts(std::uint64_t connections, std::uint64_t decrypted, std::uint64_t withoutKeys, std::uint64_t failed);
};

}  // namespace qv
