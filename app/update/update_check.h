// The update check: fetch updata.ini from the maker's update server, compare the version it offers with
// the installed one, and leave for the external updater what it needs. The fetch itself is the
// caller's (the window does it with its network stack); everything else is here.
#pragma once
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "settings/settings_store.h"

namespace qv::update {

// The update server: the base address whose path "updata/updata.ini" is fetched.
inline constexpr std::string_view kDefaultServerBase = "http://update.quelvar.example/";
inline constexpr std::string_view kInfoPath = "updata/updata.ini";
// Local name of the fetched file, in the folder the caller gives; it only exists during a check.
inline constexpr std::string_view kInfoFileName = "updata.ini";
// The external updater, started from the current directory.
inline constexpr std::string_view kUpdaterProgram = "updata";

// Result of a check; the numbers are the ones the window acts on.
enum class Result : int {
  kNoAnswer = 0,         // the server could not be reached or refused the file
  kCurrent = 1,          // the installed version is the one offered
  kUpdateAvailable = 2,  // the versions differ (also when the installed one is higher)
};

// A version text that is not a decimal number. what() is "'<text>' is not a valid floating point
// value", with the text as it was read (GBK); the application's general error handler shows it.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The base address ending in "/", as written for the updater.
std::string ServerBase(std::string_view base = kDefaultServerBase);
// The address of the update information below a base: ServerBase(base) + "updata/updata.ini".
std::string UpdateInfoUrl(std::string_view base = kDefaultServerBase);

// True when the two texts are the same decimal number (1.0 and 1.00 are). A text is a number when it
// is, after blanks at both ends, an optional sign, digits with at most one decimal point (at least
// one digit in all) and an optional exponent ("e" or "E", an optional sign, digits). The comparison is
// exact, not in floating point. Throws ConversionError for the first text that is not a number.
bool SameVersion(std::string_view installed, std::string_view offered);

// Fetches `url` into the file `path`; true on success. May throw; a throw counts as a failure.
using Downloader = std::function<bool(const std::string& url, const std::string& path)>;

// The check: download the update information into `programFolder`/updata.ini (the window gives a
// temporary folder of its own), read `ver` of section
// "UPdata" from it and `version` of section "system" from the settings, compare them as numbers.
// The downloaded file is deleted on every path, also when a conversion error is thrown. A failed
// download gives kNoAnswer (and no file is left behind).
Result UPdata(const Downloader& download, const std::string& programFolder, const SettingsStore& settings,
              std::string_view base = kDefaultServerBase);

// Before the timed check starts the updater: the window's handle as `hwnd` (section "fileType") and
// the server's base address as `uppath` (section "FileType"); both land in the one "FileType" section
// as section names are matched without regard to case. Throws SettingsWriteError.
void LeaveValuesForUpdater(SettingsStore& settings, unsigned long long windowHandle,
                           std::string_view base = kDefaultServerBase);

}  // namespace qv::update
