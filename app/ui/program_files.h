// The program's own files as the window finds them (platform/settings_location.h has the rules): in the
// build folder everything stands beside the executable; in an installation the shipped files, the
// helper programs and the user's settings each have a folder of their own. A folder given explicitly
// (tests, screenshots) holds all of them, as the build folder does.
#pragma once
#include <QString>

namespace qv {

// Where Dorrinel and quelvar-capture are.
QString HelperFolder(const QString& given = QString());
// Where the shipped files are (the help file, the shipped setting.ini).
QString DataFolder(const QString& given = QString());
// The setting.ini of this run. On the first start of an installation the shipped file is copied to the
// user's settings folder first; when that fails the shipped file is used, and a line on standard error
// says why.
QString SettingsFilePath(const QString& given = QString());

// Why the settings file at `path` cannot be read (not a regular file, unreadable, too large), without
// ever waiting on it; empty when it can be read or does not exist.
QString SettingsFileProblem(const QString& path);

}  // namespace qv
