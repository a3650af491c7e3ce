// TForm4, "数据包相关信息": shows the packet behind one row, as text with the row's address
// highlighted or as a hex dump. The text is built by ShowDatas of the core in GBK; the window maps it
// and its highlighted byte range to Unicode positions.
#pragma once
#include <QDialog>
#include <QString>

#include <functional>
#include <string>

#include "packets/packet_view.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace qv {

// The inspector's text as the widget shows it: LF line ends, and the highlighted range in the
// positions of that text.
struct InspectorDisplay {
  QString text;
  int selectionStart = 0;
  int selectionLength = 0;
};
InspectorDisplay ToDisplay(const InspectorText& text);

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  // `localAddress` gives the local address shown in the first line (GBK).
  explicit TForm4(std::function<std::string()> localAddress, QWidget* parent = nullptr);

  // Set by the caller before ShowDatas.
  std::string FAddress;  // the text to highlight
  std::string FRemote;
  std::string FPacket;

  void ShowDatas();
  void reject() override;  // Escape closes the window like its button

  QPlainTextEdit* packetTextView_;
  QCheckBox* hexTextBox_;  // "显示十六进制文本"
  QPushButton* closeButton_;
  QLabel* lblNote;  // what the address cannot tell by itself (an HTTPS server name); hidden otherwise

 signals:
  void Closed();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  std::function<std::string()> localAddress_;
  bool centred_ = false;
};

}  // namespace qv
