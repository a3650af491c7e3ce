// The settings dialog on its own, over a stand-in SettingsHost: no main window exists in this program
// (it links the settings dialog's target alone), so everything the dialog reaches goes through the
// host.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "capture/frame_handler.h"
#include "urls/file_type_table.h"
#include "settings/settings_store.h"
#include "common/ui/gbk_text.h"
#include "settings/ui/settings_controller.h"
#include "settings/ui/settings_dialog.h"
#include "tests/ui/scripted_prompter.h"

namespace qv::testing {
namespace {

class StandInHost : public SettingsHost {
 public:
  explicit StandInHost(SettingsController& settings) : settings_(settings) {}
  SettingsController& Settings() override { return settings_; }
  AdapterTestState& TestState() override { return test; }
  std::string AdapterName() const override { return adapter; }
  void SetAdapterName(std::string name) override { adapter = std::move(name); }
  void ChooseAdapter(int index) override { chosen.push_back(index); }
  void ShowAdapters(const std::vector<CaptureDevice>& devices) override { shown = devices.size(); }
  bool SessionRunning() const override { return running; }
  void StartSniffing() override { running = true; }
  void StopSniffing() override { running = false; }
  std::optional<std::string> ResolveHost(const std::string& host) override {
    looked.push_back(host);
    return std::nullopt;
  }
  void CaptureLibraryMissing() override { ++libraryMissing; }
  void AdapterUnknown() override { ++adapterUnknown; }

  AdapterTestState test;
  std::string adapter = "???";
  std::vector<int> chosen;
  std::size_t shown = 0;
  bool running = false;
  std::vector<std::string> looked;
  int libraryMissing = 0;
  int adapterUnknown = 0;

 private:
  SettingsController& settings_;
};

TEST(SettingsHostTest, TheDialogReachesTheProgramOnlyThroughItsHost) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString ini = dir.path() + "/setting.ini";
  ASSERT_TRUE(QFile::copy(QStringLiteral(QUELVAR_SOURCE_DIR "/data/setting.ini"), ini));
  QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner);
  SettingsStore(ini.toStdString()).WriteString("system", "AdaptorName", "eth7");
  FileTypeState types;
  SettingsController settings(types);
  settings.Open(std::make_unique<SettingsStore>(ini.toStdString()));
  SettingsStore& store = *settings.Store();
  QStringList changed;
  QObject::connect(&settings, &SettingsController::Changed, [&](const QString& key) { changed << key; });
  StandInHost host(settings);
  ScriptedPrompter prompter;
  PcapNet unbound;  // no capture library: the dialog says so and the host ends the program
  TForm2 d(host, unbound, prompter);

  EXPECT_EQ(host.adapter, "eth7");
  EXPECT_EQ(host.libraryMissing, 1);
  EXPECT_EQ(host.adapterUnknown, 0);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
  // The file types loaded from the settings file are the live table.
  EXPECT_TRUE(types.Current()->FindChild(".mp3").has_value());

  // A new title goes to the settings file, and the controller says so.
  changed.clear();
  d.titleEdit_->setText(QStringLiteral("新标题"));
  d.SaveTitle();
  EXPECT_EQ(changed, QStringList{"title"});
  EXPECT_EQ(FromGbk(store.ReadString("system", "title", "")), QStringLiteral("新标题"));

  // The default download program is written as soon as it changes, however it changes.
  d.flashGetButton_->click();
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 0), 2);
  d.otherDownloaderButton_->setChecked(true);
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 0), 3);
  d.downloadPathEdit_->setText(QStringLiteral("/usr/bin/wget"));
  EXPECT_EQ(store.ReadString("system", "DownloadPath", ""), "/usr/bin/wget");

  // The tree's popup is the dialog's: its "add" entry adds to the host's table.
  prompter.inputAnswer = ".qvx";
  d.fileTypeTree_->setCurrentItem(d.fileTypeTree_->topLevelItem(0));
  QAction* add = d.fileTypeMenu_->findChild<QAction*>(QStringLiteral("MenuItem1"));
  ASSERT_NE(add, nullptr);
  add->trigger();
  EXPECT_TRUE(types.Current()->FindChild(".qvx").has_value());

  // The adapter test looks its site up through the host and starts nothing when it cannot.
  d.testSiteEdit_->setText(QStringLiteral("http://site.example:8080/x"));
  d.TestAdapters();
  EXPECT_EQ(host.looked, std::vector<std::string>{"site.example"});
  EXPECT_FALSE(host.running);
  EXPECT_FALSE(host.test.TestActive.load());
}

// The controller hands every change of a switch to classification and says which key changed, also
// when the settings file cannot be written (the error then reaches the caller).
TEST(SettingsControllerTest, EveryChangeReachesClassificationAndIsReported) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  FileTypeState types;
  SettingsController settings(types);
  QStringList changed;
  QObject::connect(&settings, &SettingsController::Changed, [&](const QString& key) { changed << key; });

  settings.Open(nullptr);  // no settings file: an empty table, every switch off
  EXPECT_FALSE(types.Current()->undefinedTypes);
  settings.Edit(keys::kRepeatUrl, [](AppSettings& s) { s.SetRepeatUrl(true); });
  EXPECT_TRUE(types.Current()->duplicates);
  EXPECT_EQ(changed, QStringList{"repeatURL"});

  // A store whose folder is gone: the write fails after the change.
  settings.Open(std::make_unique<SettingsStore>((dir.path() + "/gone/setting.ini").toStdString()));
  EXPECT_TRUE(types.Current()->undefinedTypes);  // the defaults of a file that reads as missing
  changed.clear();
  EXPECT_THROW(settings.Edit(keys::kHttpsHosts, [](AppSettings& s) { s.SetHttpsHosts(true); }), SettingsWriteError);
  EXPECT_TRUE(types.Current()->httpsHosts);
  EXPECT_EQ(changed, QStringList{"httpsHosts"});
}

}  // namespace
}  // namespace qv::testing

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
