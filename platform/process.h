// Starting other programs: a program with its arguments, a command line as the user typed it, or a
// file handed to the desktop's opener. Started programs run on their own: they are not children that
// this program must wait for, they do not inherit its open files, and they keep running when it ends.
//
// The show state. The desktop gives a starting program no say over another program's first window:
// on X11 a program decides itself whether it maps its window iconic. The requested state is
// therefore passed along in the environment variable QUELVAR_SHOW_STATE ("minimized" or "normal");
// the programs that come with Quelvar honour it, any other program starts in its own way.
//
// The display. The programs that take part in a hand-off find each other's windows, post them clicks
// and share the clipboard through X11. On a Wayland desktop with Xwayland they meet there: the window
// and every program it hands text to run on the X11 platform of Qt whenever an X display exists.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class ShowState { kNormal, kMinimized };

inline constexpr const char* kShowStateVariable = "QUELVAR_SHOW_STATE";

// Qt's platform plugin, chosen through the environment or the "-platform" argument.
inline constexpr const char* kQtPlatformVariable = "QT_QPA_PLATFORM";
// X11 first; Wayland when the X display cannot be opened (a DISPLAY left over from another session),
// so that a program still starts there instead of ending at once.
inline constexpr const char* kX11QtPlatform = "xcb;wayland";

// True when `display`, the value of $DISPLAY, names an X display: set and not empty.
bool HasXDisplay(const char* display);

// The platform the window asks Qt for, from the values of $QT_QPA_PLATFORM and $DISPLAY (null when
// unset): kX11QtPlatform when an X display exists and nobody chose a platform (QT_QPA_PLATFORM unset
// or empty); empty otherwise, which leaves the choice to Qt or to whoever set the variable.
std::string WindowQtPlatform(const char* qtPlatform, const char* display);

// What a program started for a hand-off gets in its environment on top of this program's own
// ("NAME=value" each): QT_QPA_PLATFORM=kX11QtPlatform when an X display exists, whatever this
// program's environment says, so that its windows and its clipboard live where the hand-off looks.
std::vector<std::string> HandOffVariables(const char* display);

// The variable that makes browsers and TLS libraries write their secrets to a file. A started program
// never inherits it: only the browser started to record HTTPS is given one, on purpose.
inline constexpr const char* kKeyLogVariable = "SSLKEYLOGFILE";

// The environment of a started program: the entries of `parent` (null-terminated, as `environ`)
// without those whose name one of `variables` sets and without kKeyLogVariable, then `variables`
// ("NAME=value" each), in order.
std::vector<std::string> ChildEnvironment(const char* const* parent, const std::vector<std::string>& variables);

struct StartResult {
  enum class Status {
    kStarted,        // the program runs
    kNotFound,       // no such file (or not found in PATH), or an empty command line
    kNotExecutable,  // the file exists but cannot be run
    kFailed,         // the system refused (out of processes, ...)
  };
  Status status = Status::kFailed;
  int pid = -1;    // the started program, when it runs
  int error = 0;   // errno of the failure, 0 when started
  bool Started() const { return status == Status::kStarted; }
};

// Starts `program` with `args` (not counting the program itself). A program name without "/" is
// looked up in PATH, as a shell would; a name with "/" is taken as it is, relative to the current
// directory when it does not start with "/". The program gets this program's environment with the
// show state and `variables` set (ChildEnvironment). Returns once the program has been executed or
// has failed to start.
StartResult StartProgram(const std::string& program, const std::vector<std::string>& args,
                         ShowState show = ShowState::kNormal, const std::vector<std::string>& variables = {});

// Splits a command line into the program and its arguments:
//   - a line that starts with a double quote names the program up to the next double quote;
//   - otherwise, when the whole line names an existing file, that file with no arguments (a path
//     with blanks needs no quotes); else the shortest blank-separated start of the line that names an
//     existing file; else the first word;
//   - the rest is split at blanks, and double quotes group blanks into one argument.
// The result is empty for a line of blanks only.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Starts a command line split as above.
StartResult StartCommandLine(std::string_view commandLine, ShowState show = ShowState::kNormal);

// Hands a file (or an address) to the desktop's opener, xdg-open, as the shell's "open" verb.
// Whether a program is registered for the file is the opener's business; the result only tells
// whether the opener itself could be started.
StartResult ShellOpen(const std::string& fileOrUrl);

}  // namespace qv
