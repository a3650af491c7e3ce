// TForm2: the settings dialog. Its controls are the live settings: the check boxes and the file-type
// tree feed classification at once, the adapter rows mirror the program's adapter menu, and every
// change on the first three pages is written to the settings file the moment it is made. It also
// runs the adapter test, which tries each adapter in turn until one sees traffic. The rest of the
// program it reaches only through a SettingsHost.
#pragma once
#include <QDialog>
#include <QPoint>

#include <functional>
#include <memory>
#include <string>

#include "settings/ui/settings_host.h"

class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace qv {

class AdapterTest;
class PcapNet;
class Prompter;
class WebStrip;

// Status texts of the adapter rows.
inline constexpr const char* kAdapterTesting = "正在测试";
inline constexpr const char* kAdapterUsable = "可用";
inline constexpr const char* kAdapterUnusable = "不可用";

class TForm2 : public QDialog {
  Q_OBJECT
 public:
  // Builds the dialog and runs its creation: settings, file-type table, adapter rows and menu items.
  TForm2(SettingsHost& host, PcapNet& net, Prompter& prompter, QWidget* parent = nullptr);
  ~TForm2() override;

  // Page indexes.
  static constexpr int kPageGeneral = 0;
  static constexpr int kPageAdapters = 1;
  static constexpr int kPageFileTypes = 3;

  void ShowPage(int page);  // select the page and show the dialog
  void SetRegistryPath(std::string path) { registryPath_ = std::move(path); }

  // Page 0.
  void chk4Click();
  void chk1Click();
  void chk5Click();
  void chk6Click();  // list the server names of TLS and QUIC connections
  void edt2Exit();  // focus left the title edit or the test-site edit
  // Page 1.
  void lv2MouseDown(int row);  // a mouse press on a row (-1: none)
  void btn6Click();
  void tmr1Timer();  // one second of the adapter trial
  // Page 2.
  void rbClick(int which);  // 1, 2 or 3
  void btnNetTransportClick();
  void btnFlashGetClick();
  void btnOtherClick();
  // Page 3: the file-type editor.
  void N1Click();  // add a file type
  void N2Click();  // delete the selected file type
  void TVV1MouseMove(QTreeWidgetItem* node);
  void TVV1MouseDown(QTreeWidgetItem* node);
  void SetNodeChecked(QTreeWidgetItem* node, bool checked);
  bool isBrotherAllChecked(QTreeWidgetItem* node) const;
  void SetAllChild(QTreeWidgetItem* node, bool checked);
  void btn1Click();  // "确定"

  QTabWidget* pgc1;
  QCheckBox* chk4;
  QCheckBox* chk1;
  QCheckBox* chk5;
  QCheckBox* chk6;
  QCheckBox* chk11;  // hidden: the mark of the node last under the pointer
  QLineEdit* edt2;
  QTreeWidget* lv2;
  QLineEdit* edtURL;
  QPushButton* btn6;
  QRadioButton* rb1;
  QRadioButton* rb2;
  QRadioButton* rb3;
  QPushButton* btnDL1;
  QPushButton* btnDL2;
  QPushButton* btnDL3;
  QLineEdit* edt1;
  QTreeWidget* TVV1;
  QMenu* pm2PPM1;  // the tree's popup: add and delete a file type
  QPushButton* btn1;
  WebStrip* TWBSTWB1;
  QTimer* tmr1;

  // The adapter under trial, or the last one tried; -1 before the first test.
  int TestIndex() const;

 public slots:
  void reject() override;  // Escape: as "确定"
  // An adapter was chosen (in the menu or here): its row alone is checked.
  void AdapterChosen(int index);
  // The adapter under trial could not be opened: the trial fails at the next tick, with this reason.
  void TrialStartFailed(const QString& why);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void StopRunningTest();
  void BuildGeneralPage();
  void BuildAdapterPage();
  void BuildDownloadPage();
  void BuildFileTypePage();
  void Create();
  void ListAdapters();
  void LoadTree();
  void PublishTable();  // hands the tree and the switches to classification
  void CheckOnlyRow(int row);
  void SetRowStatus(int row, const char* status);
  std::string RowDevice(int row) const;
  QString ChooseExecutable();
  void RegisterFolder(const QStringList& existingKeys, const QString& keyToCreate);
  void Guarded(const std::function<void()>& write);

  class Trials;  // the adapter test's view of this dialog

  SettingsHost& host_;
  PcapNet& net_;
  Prompter& prompter_;
  std::string registryPath_;
  std::unique_ptr<Trials> trials_;
  std::unique_ptr<AdapterTest> test_;
  bool publishing_ = false;  // off until the tree is filled, and while it is being filled
};

}  // namespace qv
