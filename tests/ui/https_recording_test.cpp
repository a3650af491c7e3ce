// "用浏览器记录HTTPS…" in the real window: the browser (a stand-in script) is started with the
// program's own key file in its environment and nothing else of it; the window follows that file and
// the keyLogFile setting, decrypts a real Chromium capture with the keys the browser wrote, lists its
// requests whole and counts its connections in the status bar; the key file goes at the end unless kept.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTableView>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ui/https_recording.h"
#include "settings/app_settings.h"
#include "settings/ui/settings_controller.h"
#include "tests/platform/env_var.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

const std::string kCaptures = QUELVAR_SOURCE_DIR "/tests/tools/captures/";

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class HttpsRecordingTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    root_ = dir_.path().toStdString();
    run_ = root_ + "/run";
    ASSERT_EQ(::mkdir(run_.c_str(), 0700), 0);
    // A browser that says what it was given and writes the keys of a real Chromium session.
    browser_ = root_ + "/my browser.sh";
    std::ofstream(browser_) << "#!/bin/sh\n"
                            << "cat '" << kCaptures << "https_chromium_h2.keys' >> \"$SSLKEYLOGFILE\"\n"
                            << "echo \"$SSLKEYLOGFILE|$1\" > '" << root_ << "/seen.txt'\n";
    ::chmod(browser_.c_str(), 0755);
    Form();
    prompter_.boxes.clear();  // what start-up said (no adapter chosen yet)
  }
  void SetBrowser(const std::string& command) {
    Form().SettingsModel().Edit(keys::kHttpsBrowser, [&](AppSettings& s) { s.SetHttpsBrowser(command); });
  }
  QLabel* Cell() { return Form().findChild<QLabel*>(QStringLiteral("StatusHttps")); }
  bool Listed(const QString& address) {
    QAbstractItemModel* m = Form().mainListView_->model();
    for (int r = 0; r < m->rowCount(); ++r)
      for (int c = 0; c < m->columnCount(); ++c)
        if (m->index(r, c).data().toString() == address) return true;
    return false;
  }

  std::string root_, run_, browser_;
};

TEST_F(HttpsRecordingTest, BrowserGetsTheKeyFileAndTheWindowReadsWhatItWrites) {
  const EnvVar runtime("XDG_RUNTIME_DIR", run_);
  const EnvVar inherited("SSLKEYLOGFILE", "/tmp/inherited-keys.log");  // never passed on
  TForm1& form = Form();
  SetBrowser("\"" + browser_ + "\" --flag");
  form.SettingsModel().Edit(keys::kKeyLogFile, [&](AppSettings& s) {
    s.SetKeyLogFile(" " + root_ + "/other.log;;" + root_ + "/more.log ");
  });

  QAction* start = form.findChild<QAction*>(QStringLiteral("actHttpsBrowser"));
  ASSERT_NE(start, nullptr);
  start->trigger();
  ASSERT_TRUE(prompter_.boxes.empty()) << prompter_.boxes.front().text.toStdString();
  ASSERT_TRUE(WaitFor([&] { return Slurp(root_ + "/seen.txt").find('\n') != std::string::npos; }, 10000));

  const std::string key = form.Https()->KeyFilePath();
  EXPECT_EQ(std::filesystem::path(key).parent_path(), run_ + "/quelvar");
  EXPECT_EQ(Slurp(root_ + "/seen.txt"), key + "|--flag\n");
  EXPECT_EQ(ModeOf(run_ + "/quelvar"), 0700u);
  EXPECT_EQ(ModeOf(key), 0600u);
  EXPECT_EQ(form.Session().Https().KeyLogFiles(),
            (std::vector<std::string>{key, root_ + "/other.log", root_ + "/more.log"}));

  // A capture without TLS: the cell stays hidden.
  Load(kCaptures + "split_request.pcap");
  EXPECT_TRUE(Cell()->isHidden());

  prompter_.answers = {BoxAnswer::Yes};  // the file's rows replace the listed ones
  Load(kCaptures + "https_chromium_h2.pcap");
  for (const char* address : {"https://video.example/video/clip.mp4", "https://video.example/hls/index.m3u8?token=a1b2",
                              "https://video.example/img/cover.jpg?w=320&h=180"})
    EXPECT_TRUE(Listed(QString::fromLatin1(address))) << address;
  ASSERT_TRUE(WaitFor([&] { return !Cell()->isHidden(); }, 5000));
  EXPECT_EQ(Cell()->text(), QStringLiteral("HTTPS 解密 2 | 无密钥 0"));

  // The key file goes with the window.
  form_.reset();
  EXPECT_FALSE(std::filesystem::exists(key));
}

TEST_F(HttpsRecordingTest, NoBrowserIsSaidAndAKeptKeyFileStays) {
  const EnvVar runtime("XDG_RUNTIME_DIR", run_);
  const std::string empty = root_ + "/empty";
  std::filesystem::create_directory(empty);
  {
    const EnvVar path("PATH", empty);
    Form().findChild<QAction*>(QStringLiteral("actHttpsBrowser"))->trigger();
  }
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_TRUE(prompter_.boxes[0].text.contains(QStringLiteral("没有找到能写密钥日志的浏览器")));
  EXPECT_FALSE(std::filesystem::exists(run_ + "/quelvar"));  // no key file without a browser
  EXPECT_TRUE(Form().Https()->KeyFilePath().empty());

  SetBrowser("\"" + browser_ + "\"");
  Form().findChild<QAction*>(QStringLiteral("actKeepKeyFile"))->setChecked(true);
  Form().findChild<QAction*>(QStringLiteral("actHttpsBrowser"))->trigger();
  ASSERT_TRUE(WaitFor([&] { return Slurp(root_ + "/seen.txt").find('\n') != std::string::npos; }, 10000));
  const std::string key = Form().Https()->KeyFilePath();
  form_.reset();
  EXPECT_TRUE(std::filesystem::exists(key));
  EXPECT_EQ(ModeOf(key), 0600u);
}

TEST_F(HttpsRecordingTest, AnUnsafeKeyFolderIsRefusedWithABox) {
  ASSERT_EQ(::chmod(run_.c_str(), 0700), 0);
  const std::string open = run_ + "/quelvar";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
  const EnvVar runtime("XDG_RUNTIME_DIR", run_);
  SetBrowser("\"" + browser_ + "\"");
  Form().findChild<QAction*>(QStringLiteral("actHttpsBrowser"))->trigger();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_TRUE(prompter_.boxes[0].text.contains(QStringLiteral("无法建立HTTPS密钥文件"))) << prompter_.boxes[0].text.toStdString();
  EXPECT_TRUE(std::filesystem::is_empty(open));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/seen.txt"));  // the browser was not started
}

}  // namespace
}  // namespace qv::testing
