#include "platform/browser_choice.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/settings/temp_dir.h"

namespace qv {
namespace {

using testing::TempDir;

TEST(BrowserChoiceTest, ChosenThenDefaultThenAlternativeThenFirstInPath) {
  TempDir dir;
  const std::string a = dir.File("a"), b = dir.File("b"), lib = dir.File("lib");
  for (const std::string& d : {a, b, lib}) std::filesystem::create_directory(d);
  auto program = [](const std::string& path) {
    testing::WriteBytes(path, "#!/bin/sh\n");
    ::chmod(path.c_str(), 0755);
  };
  program(a + "/firefox-esr");
  program(b + "/chromium");
  program(b + "/brave-browser");
  program(lib + "/firefox");
  program(lib + "/opera");
  testing::WriteBytes(a + "/google-chrome", "not runnable");  // no execute bit: not found
  std::filesystem::create_directory(a + "/microsoft-edge");   // a folder: not found

  const std::string path = a + ":" + b + ":relative:";
  struct Case {
    const char* name;
    BrowserFacts facts;
    std::string program;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"no default: first known family in PATH order (Chromium before Brave and Firefox)",
       {"", "", path}, b + "/chromium", {}},
      {"the default when it is known and found", {"", "firefox-esr.desktop", path}, a + "/firefox-esr", {}},
      {"a default of a known family found under another name", {"", "firefox.desktop", path}, a + "/firefox-esr", {}},
      {"desktop ids are matched without case", {"", "Brave-Browser.desktop", path}, b + "/brave-browser", {}},
      {"an unknown default is passed over", {"", "opera.desktop", path}, b + "/chromium", {}},
      {"a known default that is not installed is passed over", {"", "google-chrome.desktop", path}, b + "/chromium", {}},
      {"the person's command line wins", {"/opt/my browser/run \"--a b\" c", "firefox.desktop", path},
       "/opt/my", {"browser/run", "--a b", "c"}},
      {"nothing known in PATH", {"", "firefox.desktop", dir.File("empty")}, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BrowserCommand got = ChooseBrowser(c.facts);
    EXPECT_EQ(got.program, c.program);
    EXPECT_EQ(got.args, c.args);
  }

  // Debian's alternative counts when it leads to a known browser, and not otherwise.
  const std::string alt = dir.File("alt");
  std::filesystem::create_directory(alt);
  std::filesystem::create_symlink(lib + "/firefox", alt + "/x-www-browser");
  EXPECT_EQ(ChooseBrowser({"", "", alt + ":" + path}).program, alt + "/x-www-browser");
  std::filesystem::remove(alt + "/x-www-browser");
  std::filesystem::create_symlink(lib + "/opera", alt + "/x-www-browser");
  EXPECT_EQ(ChooseBrowser({"", "", alt + ":" + path}).program, b + "/chromium");
}

TEST(BrowserChoiceTest, FamiliesOfDesktopIdsAndPrograms) {
  const std::pair<const char*, const char*> cases[] = {
      {"chromium.desktop", "Chromium"},        {"/usr/bin/chromium", "Chromium"},
      {"google-chrome.desktop", "Chrome"},     {"/opt/google/chrome/chrome", "Chrome"},
      {"com.brave.Browser.desktop", "Brave"},  {"microsoft-edge.desktop", "Edge"},
      {"/opt/microsoft/msedge/msedge", "Edge"}, {"org.mozilla.firefox.desktop", "Firefox"},
      {"/usr/lib/firefox-esr/firefox-esr", "Firefox"}, {"epiphany.desktop", ""},
      {"", ""},                                {"chromium.desktop.evil", ""},
  };
  for (const auto& [text, family] : cases) EXPECT_EQ(BrowserFamily(text), family) << text;
}

}  // namespace
}  // namespace qv
