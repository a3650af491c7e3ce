// Windows of other programs on an X11 desktop: find them by title, walk them, read their names, show
// them, bring them to the top, and post them a key press or a click, as an outside program can.
//
// What X11 allows, and how it is done here:
//   - Top-level windows are the children of the root window in stacking order. Under a window manager
//     a program's window sits inside a frame; the program's own window (the one with WM_STATE) stands
//     for it. Unmapped and iconified windows are included, as they still exist.
//   - A window's text is its _NET_WM_NAME (UTF-8), else its WM_NAME. Qt widgets with a native window
//     of their own are child windows that can be given a name.
//   - Posting: a synthetic event (XSendEvent) goes straight to the program that created the window,
//     whatever has the focus or wherever the pointer is, like a posted message. Programs may tell
//     synthetic events apart and ignore them (xterm does by default; Qt and Xlib programs accept them).
//   - Showing and raising: mapping a window de-iconifies it; raising restacks it. A window manager
//     decides itself about both (focus-stealing prevention may keep a window behind); the EWMH request
//     to activate the window is sent as well when the window manager supports it.
//   - Only X11 clients are visible. Under Wayland only programs running through Xwayland can be found.
//
// Texts passed in and returned are GBK byte strings, as everywhere in the core; they are compared with
// window names in UTF-8, so an exact title matches exactly.
//
// A Desktop holds one connection to the X server. Use it on one thread only (the user-interface
// thread). While a call runs, X protocol errors are caught and turned into a DesktopStatus; the process-wide
// Xlib error handler is restored afterwards.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::x11 {

using WindowId = unsigned long;  // an X11 window id; 0 is no window

enum class DesktopStatus {
  kOk,
  kNoDisplay,           // $DISPLAY is unset or empty: the session has no X11 display
  kDisplayUnavailable,  // $DISPLAY is set, but that display cannot be opened
  kNoWindow,            // the window does not exist (any more), or no window was given
  kNoKeyCode,           // the keyboard map has no key for the requested key
  kFailed,              // the request could not be sent or the server refused it
};

// A short English description, for logs.
std::string_view StatusName(DesktopStatus s);
// A message for the user (GBK), for a message box.
std::string_view StatusMessage(DesktopStatus s);

// Keys that can be posted; the values are the Windows virtual-key codes, which callers may hold.
enum class Key : int {
  kBackspace = 8,
  kTab = 9,
  kEnter = 13,
  kEscape = 27,
  kSpace = 32,
  kInsert = 45,
  kDelete = 46,
  kF1 = 112, kF2, kF3, kF4, kF5, kF6, kF7, kF8, kF9, kF10, kF11, kF12,
};
// The key of a virtual-key code, or nothing when it is not one of the keys above.
std::optional<Key> KeyFromVirtualKey(int vk);

class Desktop {
 public:
  Desktop();                                        // the display named by $DISPLAY
  explicit Desktop(const std::string& displayName);
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  DesktopStatus status() const { return status_; }
  bool Ok() const { return status_ == DesktopStatus::kOk; }

  // Top-level windows, topmost first. Empty without a display.
  std::vector<WindowId> TopLevelWindows() const;
  // Direct children of a window, topmost first. Empty when the window does not exist.
  std::vector<WindowId> ChildWindows(WindowId window) const;

  // A window's text in GBK, at most `maxBytes` bytes (never half a character). Characters that GBK
  // lacks become "?". Empty for a window without a name or one that does not exist.
  std::string WindowText(WindowId window, std::size_t maxBytes = 254) const;
  // The name in UTF-8, as the window carries it.
  std::string WindowTextUtf8(WindowId window) const;

  // The topmost top-level window whose title is exactly `titleGbk` (case-sensitive); 0 when none.
  WindowId FindTopLevel(std::string_view titleGbk) const;
  // The first top-level window (topmost first) whose text, as WindowText gives it, contains `partGbk`
  // (case-sensitive); 0 when none.
  WindowId FindTopLevelContaining(std::string_view partGbk) const;
  // The first direct child of `parent` whose text is exactly `textGbk`; 0 when none.
  WindowId FindChild(WindowId parent, std::string_view textGbk) const;

  // Shows the window in its normal state: maps it (which de-iconifies it) and asks the window
  // manager, when there is one, to take back a maximized state.
  DesktopStatus ShowNormal(WindowId window);
  // Raises the window to the top of the stack and asks the window manager to activate it.
  DesktopStatus BringToTop(WindowId window);

  // Posts a key press of `key` to the window (no release follows, as with a posted key-down).
  DesktopStatus PostKeyDown(WindowId window, Key key);
  // Posts a press or a release of the left button at the window's top left corner (0, 0).
  DesktopStatus PostLeftButtonDown(WindowId window);
  DesktopStatus PostLeftButtonUp(WindowId window);

  // True when the window exists and is mapped with all its ancestors (it can be seen).
  bool IsVisible(WindowId window) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  DesktopStatus status_ = DesktopStatus::kNoDisplay;
};

}  // namespace qv::x11
