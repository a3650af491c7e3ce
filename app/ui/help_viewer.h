// The program's own help window: the help file shown in a text browser of this program. It works the
// same everywhere, also where no desktop opener or browser will show a page (a program run as root).
#pragma once
#include <QString>

namespace qv {

// The help file beside the executables.
inline constexpr const char* kHelpFileName = "readme.html";

// "帮助文件" (N29): shows the help file of the program's data folder (`programDir` when given) in
// the help window, created on first use and raised when it is open already. A missing file is said in
// the window itself. Returns the file's path.
QString ShowHelpFile(const QString& programDir = QString());

}  // namespace qv
