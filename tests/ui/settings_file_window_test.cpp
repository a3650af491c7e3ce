// A settings file that is not what it seems: the window says so at start, never waits on it, and runs
// without a settings store as it does without the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <filesystem>

#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

class SettingsFileWindowTest : public WindowTest {};

TEST_F(SettingsFileWindowTest, HostileSettingsFileIsReportedAndNeverWaitedOn) {
  struct Case {
    const char* name;
    QString why;
  };
  const std::string ini = IniPath().toStdString();
  for (const Case& c : {Case{"fifo", QStringLiteral("not a regular file")},
                        Case{"folder", QStringLiteral("a directory, not a file")},
                        Case{"huge", QStringLiteral("larger than 1048576 bytes")}}) {
    SCOPED_TRACE(c.name);
    form_.reset();
    prompter_.boxes.clear();
    std::filesystem::remove_all(ini);
    if (std::string_view(c.name) == "fifo") {
      ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
    } else if (std::string_view(c.name) == "folder") {
      std::filesystem::create_directory(ini);
    } else {
      WriteSettings(true);
      std::filesystem::resize_file(ini, std::uintmax_t{100} << 20);
    }
    Form();
    ASSERT_EQ(prompter_.boxes.size(), 1u);
    EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(prompter_.boxes[0].text, QStringLiteral("无法读取设置文件 %1：%2").arg(IniPath(), c.why));
    EXPECT_EQ(Form().Store(), nullptr);
    EXPECT_FALSE(Form().autoStartTimer_->isActive());
  }
  form_.reset();
  std::filesystem::remove_all(ini);
}

}  // namespace
}  // namespace qv::testing
