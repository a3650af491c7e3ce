#include "platform/settings_location.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/text_file.h"

// Where the installed layout keeps its files, relative to the folder of the programs; set by the build
// from the installation folders it was configured with.
#ifndef QUELVAR_DATA_FROM_BIN
#define QUELVAR_DATA_FROM_BIN "../share/quelvar"
#endif
#ifndef QUELVAR_HELPERS_FROM_BIN
#define QUELVAR_HELPERS_FROM_BIN "../libexec/quelvar"
#endif

namespace qv {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSettingsName = "setting.ini";

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Join(const std::string& folder, const std::string& rel) {
  return (fs::path(folder) / rel).lexically_normal().string();
}

// A settings file that can be replaced: the file itself and its folder (for the temporary file of an
// atomic replacement) are writable.
bool Writable(const std::string& file, const std::string& folder) {
  return ::access(file.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK) == 0;
}

}  // namespace

ProgramFiles FindProgramFiles(const std::string& programDir) {
  ProgramFiles f;
  f.programDir = programDir;
  if (IsFile(Join(programDir, kSettingsName))) {
    f.dataDir = f.helperDir = programDir;
    return f;
  }
  f.installed = true;
  f.dataDir = Join(programDir, QUELVAR_DATA_FROM_BIN);
  f.helperDir = Join(programDir, QUELVAR_HELPERS_FROM_BIN);
  return f;
}

std::string ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string UserSettingsFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return Join(xdg, "quelvar");
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  if (home.empty()) home = "/";
  return Join(home, ".config/quelvar");
}

SettingsLocation LocateSettings(const ProgramFiles& files, const std::string& userFolder, bool makeCopy) {
  SettingsLocation loc;
  loc.shipped = Join(files.dataDir, kSettingsName);
  if (!files.installed && Writable(loc.shipped, files.dataDir)) {
    loc.path = loc.shipped;
    return loc;
  }
  const std::string user = Join(userFolder, kSettingsName);
  struct stat st {};
  if (::lstat(user.c_str(), &st) == 0) {  // the user's copy, whatever it is: its reader reports a bad one
    loc.path = user;
    return loc;
  }
  loc.path = loc.shipped;
  if (!IsFile(loc.shipped) || !makeCopy) return loc;

  std::string text, why;
  if (ReadRegularFile(loc.shipped, text, kMaxSettingsFileBytes, &why) != ReadResult::kOk) {
    loc.problem = "cannot read " + loc.shipped + ": " + why;
    return loc;
  }
  std::error_code ec;
  fs::create_directories(userFolder, ec);
  if (ec) {
    loc.problem = "cannot create " + userFolder + ": " + ec.message();
    return loc;
  }
  if (!ReplaceFileAtomically(user, text, 0644)) {
    loc.problem = "cannot write " + user;
    return loc;
  }
  loc.path = user;
  loc.copied = true;
  return loc;
}

}  // namespace qv
