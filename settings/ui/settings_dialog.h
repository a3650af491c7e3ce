// TForm2: the settings dialog, a view of the SettingsController. Each control shows a setting and
// every change made in it goes to the controller at once (which writes the settings file and hands
// the file-type table to classification); the file-type entries are written on "确定". The adapter
// page shows the adapters and the adapter test of an AdapterPage. The rest of the program it reaches
// only through a SettingsHost.
#pragma once
#include <QDialog>
#include <QPoint>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "settings/adapter_page.h"
#include "settings/ui/settings_host.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace qv {

class AppSettings;
class FileTypeSnapshot;
class PcapNet;
class Prompter;
class SettingsController;
class WebStrip;

// Status texts of the adapter rows.
inline constexpr const char* kAdapterTesting = "正在测试";
inline constexpr const char* kAdapterUsable = "可用";
inline constexpr const char* kAdapterUnusable = "不可用";

class TForm2 : public QDialog {
  Q_OBJECT
 public:
  // Builds the dialog and fills it: settings, file-type table, adapter rows and menu items.
  TForm2(SettingsHost& host, PcapNet& net, Prompter& prompter, QWidget* parent = nullptr);
  ~TForm2() override;

  // Page indexes.
  static constexpr int kPageGeneral = 0;
  static constexpr int kPageAdapters = 1;
  static constexpr int kPageFileTypes = 3;

  void ShowPage(int page);  // select the page and show the dialog
  void SetRegistryPath(std::string path) { registryPath_ = std::move(path); }

  // General page.
  void AutoRunClicked();
  void UndefinedTypesClicked();
  void RepeatUrlClicked();
  void HttpsHostsClicked();
  void SaveTitle();  // focus left the title edit or the test-site edit
  void SaveKeyLogFile();
  void ChooseKeyLogFiles();
  void SaveHttpsBrowser();
  // Adapter page.
  void AdapterRowPressed(int row);  // a mouse press on a row (-1: none)
  // Starts the adapter test. `asked`: the person pressed the button, which also cancels a running
  // test; a request of the program leaves a running test alone and repeats no message.
  void TestAdapters(bool asked = false);
  void AdapterTestTick();           // one second of the adapter test
  // Shows on the adapter page what a user without the capture rights can do (with the helper at
  // `helper`), or hides it when the rights are there.
  void ShowCaptureRights(const CaptureHelperPlace& helper);
  void CopyRightsCommand();
  // Download page.
  void ChooseDownloader(int which);  // 1, 2 or 3: DownloadProgram
  void RegisterNetTransport();
  void RegisterFlashGet();
  void ChooseOtherDownloader();
  // File-type page.
  void AddFileType();
  void DeleteFileType();  // the selected one
  void FileTypeNodeHovered(QTreeWidgetItem* node);
  void FileTypeNodePressed(QTreeWidgetItem* node);
  void SetNodeChecked(QTreeWidgetItem* node, bool checked);
  bool AnySiblingChecked(QTreeWidgetItem* node) const;
  void SetAllChildren(QTreeWidgetItem* node, bool checked);
  void Accept();  // "确定"

  QTabWidget* pages_;
  QCheckBox* autoRunBox_;
  QCheckBox* undefinedTypesBox_;
  QCheckBox* repeatUrlBox_;
  QCheckBox* httpsHostsBox_;
  QCheckBox* hoveredNodeMark_;  // hidden: the mark of the node last under the pointer
  QLineEdit* titleEdit_;
  QLineEdit* keyLogEdit_;
  QPushButton* keyLogButton_;
  QLineEdit* browserEdit_;
  QTreeWidget* adapterList_;
  QLineEdit* testSiteEdit_;
  QPushButton* testAdaptersButton_;
  QLabel* adapterNote_;  // below the adapter rows: why the test cannot run
  QWidget* rightsBox_;   // shown when this user lacks the capture rights: what to do and the command
  QLabel* rightsText_;
  QLineEdit* rightsCommand_;
  QPushButton* copyCommandButton_;
  QRadioButton* netTransportButton_;
  QRadioButton* flashGetButton_;
  QRadioButton* otherDownloaderButton_;
  QPushButton* netTransportFolderButton_;
  QPushButton* flashGetFolderButton_;
  QPushButton* otherDownloaderFileButton_;
  QLineEdit* downloadPathEdit_;  // hidden: the other download program's command line
  QTreeWidget* fileTypeTree_;
  QMenu* fileTypeMenu_;  // the tree's popup: add and delete a file type
  QLabel* newTypeNote_;  // below the tree: a type just added lists nothing until it is ticked
  QPushButton* okButton_;
  WebStrip* testPage_;  // fetches the test site during an adapter trial
  QTimer* adapterTestTimer_;

  // The adapter under trial, or the last one tried; -1 before the first test.
  int TestIndex() const { return adapters_.TestIndex(); }

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
  void BuildGeneralPage();
  void BuildHttpsRows(QWidget* page, QVBoxLayout* layout);
  void BuildAdapterPage();
  void BuildDownloadPage();
  void BuildFileTypePage();
  void Load();
  void ListAdapters();
  void LoadTree();
  void EditFileTypes(const FileTypeSnapshot& table);
  void OnFileTypeNodeChanged(QTreeWidgetItem* node);
  void ShowNewTypeNote(QTreeWidgetItem* node);
  void HideNewTypeNote(const std::string& type);  // when the note speaks of `type`
  void CheckOnlyRow(int row);
  void SetRowStatus(int row, const char* status);
  QString ChooseExecutable();
  void RegisterFolder(const QStringList& existingKeys, const QString& keyToCreate);
  // Changes a setting through the controller; a write that fails is shown in an error box.
  void Edit(std::string_view key, const std::function<void(AppSettings&)>& change);

  class Trials;  // the adapter test's view of this dialog

  SettingsHost& host_;
  SettingsController& settings_;
  Prompter& prompter_;
  std::string registryPath_;
  std::unique_ptr<Trials> trials_;
  AdapterPage adapters_;
  bool fillingTree_ = false;  // the tree's changes are the table's own, not edits
  std::string adapterBeforeTest_;  // the adapter sessions used before the test's trials changed it
  std::string noteType_;      // the added type the note speaks of (GBK); empty while it is hidden
};

}  // namespace qv
