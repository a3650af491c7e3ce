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
#include "settings/file_type_table.h"
#include "settings/settings_store.h"
#include "settings/ui/settings_dialog.h"
#include "tests/ui/scripted_prompter.h"

namespace qv::testing {
namespace {

class StandInHost : public SettingsHost {
 public:
  explicit StandInHost(SettingsStore* store) : store_(store) {}
  SettingsStore* Store() override { return store_; }
  FileTypeState& Types() override { return types; }
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
  void ShowTitle(const QString& t) override { title = t; }
  void CaptureLibraryMissing() override { ++libraryMissing; }
  void AdapterUnknown() override { ++adapterUnknown; }

  FileTypeState types;
  AdapterTestState test;
  std::string adapter = "???";
  std::vector<int> chosen;
  std::size_t shown = 0;
  bool running = false;
  std::vector<std::string> looked;
  QString title;
  int libraryMissing = 0;
  int adapterUnknown = 0;

 private:
  SettingsStore* store_;
};

TEST(SettingsHostTest, TheDialogReachesTheProgramOnlyThroughItsHost) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString ini = dir.path() + "/setting.ini";
  ASSERT_TRUE(QFile::copy(QStringLiteral(QUELVAR_SOURCE_DIR "/data/setting.ini"), ini));
  QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner);
  SettingsStore store(ini.toStdString());
  store.WriteString("system", "AdaptorName", "eth7");
  StandInHost host(&store);
  ScriptedPrompter prompter;
  PcapNet unbound;  // no capture library: the dialog says so and the host ends the program
  TForm2 d(host, unbound, prompter);

  EXPECT_EQ(host.adapter, "eth7");
  EXPECT_EQ(host.libraryMissing, 1);
  EXPECT_EQ(host.adapterUnknown, 0);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
  // The file types loaded from the settings file are the host's live table.
  EXPECT_TRUE(host.types.Current()->FindChild(".mp3").has_value());

  // A new title goes to the settings file and to the host.
  d.edt2->setText(QStringLiteral("新标题"));
  d.edt2Exit();
  EXPECT_EQ(host.title, QStringLiteral("新标题"));

  // The default download program is written as soon as it changes, however it changes.
  d.rb2->click();
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 0), 2);
  d.rb3->setChecked(true);
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 0), 3);
  d.edt1->setText(QStringLiteral("/usr/bin/wget"));
  EXPECT_EQ(store.ReadString("system", "DownloadPath", ""), "/usr/bin/wget");

  // The tree's popup is the dialog's: its "add" entry adds to the host's table.
  prompter.inputAnswer = ".qvx";
  d.TVV1->setCurrentItem(d.TVV1->topLevelItem(0));
  QAction* add = d.pm2PPM1->findChild<QAction*>(QStringLiteral("MenuItem1"));
  ASSERT_NE(add, nullptr);
  add->trigger();
  EXPECT_TRUE(host.types.Current()->FindChild(".qvx").has_value());

  // The adapter test looks its site up through the host and starts nothing when it cannot.
  d.edtURL->setText(QStringLiteral("http://site.example:8080/x"));
  d.btn6Click();
  EXPECT_EQ(host.looked, std::vector<std::string>{"site.example"});
  EXPECT_FALSE(host.running);
  EXPECT_FALSE(host.test.TestActive.load());
}

}  // namespace
}  // namespace qv::testing

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
