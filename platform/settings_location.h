// Where the program's own files are, and which setting.ini a run uses.
//
// Two layouts are known:
//   - the build folder: every executable and every shipped file (setting.ini, readme.html) side by side;
//   - an installation (cmake --install, the Debian package): programs in <prefix>/bin, the shipped files in
//     <prefix>/share/quelvar, the helpers (Dorrinel, quelvar-capture) in <prefix>/libexec/quelvar.
// The layout is told by the executable's folder: when it holds setting.ini it is the build folder.
#pragma once
#include <cstddef>
#include <string>

namespace qv {

// The settings file is a few kilobytes; a larger one is not read (it reads as if missing).
inline constexpr std::size_t kMaxSettingsFileBytes = std::size_t{1} << 20;

struct ProgramFiles {
  std::string programDir;  // folder of the executable
  std::string dataDir;     // shipped setting.ini and the help file
  std::string helperDir;   // Dorrinel and quelvar-capture
  bool installed = false;  // the installed layout
};

// The program files of an executable in `programDir`.
ProgramFiles FindProgramFiles(const std::string& programDir);
// The folder of the running executable ("." when /proc/self/exe cannot be read).
std::string ExecutableFolder();

// The user's settings folder: $XDG_CONFIG_HOME/quelvar when that is an absolute path, else
// $HOME/.config/quelvar (the home folder of the password database when HOME is unset).
std::string UserSettingsFolder();

struct SettingsLocation {
  std::string path;     // the setting.ini to open
  std::string shipped;  // the shipped setting.ini
  bool copied = false;  // the shipped file was copied to `path` just now
  std::string problem;  // when the user's copy could not be made: why (path is then the shipped file)
};

// The settings file of a run. In the build folder it is setting.ini beside the executable as long as
// that file and its folder can be written. Otherwise (always in an installation, where the shipped file
// is the system's) it is setting.ini in `userFolder`, copied from the shipped file first when it is not
// there yet (only when `makeCopy`; without it the shipped file is used until a copy exists). When no
// shipped file exists nothing is copied, and the path names the file that is missing.
SettingsLocation LocateSettings(const ProgramFiles& files, const std::string& userFolder, bool makeCopy = true);

}  // namespace qv
