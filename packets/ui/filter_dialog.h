// TForm3, "数据包过滤设置": the dialog that sets the packet filter. It is built afresh from the
// current settings each time it opens and applies them only when its OK button finds them valid.
#pragma once
#include <QDialog>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packets/packet_filter.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace qv {

class Prompter;

// What of the packet filter also narrows the URL list (the site, the packet type, the direction and
// the contained text; the length is a packet-list test), in the dialog's own words; empty when none
// of these is set.
QString UrlModeFilterSummary(const PacketFilter& filter);

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  // Dotted-quad text of a host name; nothing when it cannot be resolved.
  using Resolver = std::function<std::optional<std::string>(const std::string&)>;
  using Applier = std::function<void(PacketFilter)>;

  // `hosts` are the hosts offered in the site list (GBK), in order.
  TForm3(const PacketFilter& current, const std::vector<std::string>& hosts, Prompter& prompter, Resolver resolve,
         Applier apply, QWidget* parent = nullptr);

  QComboBox* siteBox_;  // "指定网站"
  QComboBox* packetTypeBox_;  // "数据包类型"
  QComboBox* directionBox_;  // "数据包方向"
  QLineEdit* containsTextEdit_;  // "包含字符串"
  QLineEdit* minLengthEdit_;  // "数据包长度：至少"
  QPushButton* filterOkButton_;

 public slots:
  void ApplyFilter();
  void reject() override;  // only the OK button closes the dialog

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Prompter& prompter_;
  Resolver resolve_;
  Applier apply_;
  bool confirmed_ = false;
};

}  // namespace qv
