// Which browser the window starts to record HTTPS keys: one that writes SSLKEYLOGFILE (Chromium,
// Chrome, Brave, Edge, Firefox). The person's own choice (a command line) comes first; then the
// desktop's default browser when it is one of those; then the first of them found in PATH.
#pragma once
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct BrowserCommand {
  std::string program;  // empty: no browser found
  std::vector<std::string> args;
  bool Found() const { return !program.empty(); }
};

struct BrowserFacts {
  std::string chosen;          // the person's command line (UTF-8); empty: automatic
  std::string desktopDefault;  // the desktop's default browser as a desktop file name ("firefox.desktop")
  std::string path;            // the value of PATH
};

// The family a desktop file name or a program's file name belongs to ("Chromium", "Firefox"), empty
// when it is none of the browsers that write a key log.
std::string_view BrowserFamily(std::string_view desktopIdOrProgram);

// The program to start. The x-www-browser alternative counts as the desktop's default when the desktop
// names none of the known browsers (or none found in PATH) and it leads to one of them.
BrowserCommand ChooseBrowser(const BrowserFacts& facts);

// The program `name` as PATH finds it (an executable regular file), or empty.
std::string FindInPath(std::string_view name, std::string_view path);

// The desktop's default browser, as `xdg-settings get default-web-browser` answers (trimmed), waiting
// at most `limit`; empty when the tool is missing, fails or takes longer (it is then killed).
std::string DesktopDefaultBrowser(std::chrono::milliseconds limit = std::chrono::milliseconds(1500));

}  // namespace qv
