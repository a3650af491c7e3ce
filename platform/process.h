// Starting other programs: a program with its arguments, a command line as the user typed it, or a
// file handed to the desktop's opener. Started programs run on their own: they are not children that
// this program must wait for, they do not inherit its open files, and they keep running when it ends.
//
// The show state. The desktop gives a starting program no say over another program's first window:
// on X11 a program decides itself whether it maps its window iconic. The requested state is
// therefore passed along in the environment variable QUELVAR_SHOW_STATE ("minimized" or "normal");
// the programs that come with Quelvar honour it, any other program starts in its own way.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class ShowState { kNormal, kMinimized };

inline constexpr const char* kShowStateVariable = "QUELVAR_SHOW_STATE";

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
// directory when it does not start with "/". Returns once the program has been executed or has
// failed to start.
StartResult StartProgram(const std::string& program, const std::vector<std::string>& args,
                         ShowState show = ShowState::kNormal);

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
