// The desktop's download folder: user-dirs.dirs read as xdg-user-dir reads it, and what is taken when
// it names none.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tools/Dorrinel/desktop_folder.h"

namespace dorrinel {
namespace {

TEST(DesktopFolderTest, TheDownloadLineOfUserDirsIsReadAsTheShellWould) {
  const std::string home = "/home/li";
  const struct {
    const char* text;
    std::optional<std::string> folder;
  } cases[] = {
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/下载\"\n", "/home/li/下载"},
      {"# comment\r\n  XDG_DOWNLOAD_DIR=\"/data/dl/\"  # where\r\n", "/data/dl"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/a \\\"b\\\" \\$c\"\n", "/home/li/a \"b\" $c"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/old\"\nXDG_DOWNLOAD_DIR=\"$HOME/new\"", "/home/li/new"},  // the last one wins
      {"XDG_DOWNLOAD_DIR=\"$HOME\"\n", "/home/li"},
      // Forms a shell would read otherwise, or that lead somewhere relative, are not guessed at.
      {"XDG_DOWNLOAD_DIR=\"$HOME/x\"\nXDG_DOWNLOAD_DIR=\"relative/dl\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=$HOME/unquoted\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"$HOME/unterminated\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"$HOMEWORK/x\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"$XDG_DATA_HOME/x\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"/a/$(rm -rf x)\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"/a\" ; echo\n", std::nullopt},
      {"#XDG_DOWNLOAD_DIR=\"/commented\"\nXDG_DOWNLOADS_DIR=\"/other\"\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DownloadDirFromUserDirs(c.text, home), c.folder) << c.text;
  }
  EXPECT_EQ(DownloadDirFromUserDirs("XDG_DOWNLOAD_DIR=\"$HOME/x\"\n", ""), std::nullopt);  // no $HOME to go by
}

TEST(DesktopFolderTest, WithoutADownloadLineTheEnvironmentThenDownloadsThenHomeIsTaken) {
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  DesktopPlaces places;
  places.home = "/home/li";
  places.configHome = "/cfg";
  places.readFile = [&](const std::string& path) -> std::optional<std::string> {
    const auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  };
  places.isDirectory = [&](const std::string& path) { return folders.count(path) > 0; };

  EXPECT_EQ(DesktopDownloadFolder(places), "/home/li");
  folders.insert("/home/li/Downloads");
  EXPECT_EQ(DesktopDownloadFolder(places), "/home/li/Downloads");
  files["/cfg/user-dirs.dirs"] = "XDG_MUSIC_DIR=\"$HOME/Music\"\n";
  EXPECT_EQ(DesktopDownloadFolder(places), "/home/li/Downloads");
  places.downloadVariable = "relative";  // as xdg-user-dir, the environment's value when the file has none
  EXPECT_EQ(DesktopDownloadFolder(places), "/home/li/Downloads");
  places.downloadVariable = "/srv/dl";
  EXPECT_EQ(DesktopDownloadFolder(places), "/srv/dl");
  files["/cfg/user-dirs.dirs"] += "XDG_DOWNLOAD_DIR=\"$HOME/下载\"\n";
  EXPECT_EQ(DesktopDownloadFolder(places), "/home/li/下载");  // named, whether it exists yet or not
}

}  // namespace
}  // namespace dorrinel
