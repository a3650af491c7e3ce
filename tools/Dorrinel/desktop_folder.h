// The desktop's download folder, without Qt: what xdg-user-dir prints for DOWNLOAD (the line of
// user-dirs.dirs, read the way that script reads it, else $XDG_DOWNLOAD_DIR of the environment), else
// ~/Downloads when that folder exists, else the home folder.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dorrinel {

// The folder of `XDG_DOWNLOAD_DIR` in the text of a user-dirs.dirs file. The file is a shell fragment
// of lines `XDG_NAME_DIR="$HOME/path"` or `XDG_NAME_DIR="/path"` (the only forms its tools write);
// `#` starts a comment and the last line for a name wins. Inside the quotes `\"`, `\\`, `\$` and `\``
// stand for the character itself. Nothing for a value of another form (a relative path, an unquoted
// or unterminated one, another variable). "$HOME" alone (the desktop's way of saying that downloads go
// into the home folder) gives the home folder.
std::optional<std::string> DownloadDirFromUserDirs(std::string_view text, const std::string& home);

struct DesktopPlaces {
  std::string home;             // $HOME
  std::string configHome;       // $XDG_CONFIG_HOME, else $HOME/.config
  std::string downloadVariable;  // $XDG_DOWNLOAD_DIR
  // Reads a whole (small) file; nothing when it cannot be read.
  std::function<std::optional<std::string>(const std::string&)> readFile;
  std::function<bool(const std::string&)> isDirectory;
};

// The places of this process: its environment and the real file system.
DesktopPlaces ThisDesktop();

// XDG_DOWNLOAD_DIR from configHome/user-dirs.dirs, else downloadVariable when it is an absolute path,
// else home/Downloads when it is a folder, else home.
std::string DesktopDownloadFolder(const DesktopPlaces& places);

}  // namespace dorrinel
