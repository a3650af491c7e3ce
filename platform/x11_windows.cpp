#include "platform/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/codepage.h"

namespace qv::x11 {

namespace {

// ---- X protocol errors --------------------------------------------------------------------------

// Catches the protocol errors of the requests made while it lives. Xlib has one error handler per
// process: it is replaced for that time and put back afterwards.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* d) : d_(d) {
    XSync(d_, False);  // errors of earlier requests are not ours
    code_ = 0;
    previous_ = XSetErrorHandler(&ErrorTrap::Handle);
  }
  ~ErrorTrap() { Finish(); }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server has handled every request made so far; returns the first error code.
  int Finish() {
    if (!finished_) {
      XSync(d_, False);
      XSetErrorHandler(previous_);
      finished_ = true;
    }
    return code_;
  }
  int Code() const { return code_; }

 private:
  static int Handle(Display*, XErrorEvent* e) {
    if (code_ == 0) code_ = e->error_code;
    return 0;
  }
  static inline int code_ = 0;
  Display* d_;
  XErrorHandler previous_ = nullptr;
  bool finished_ = false;
};

DesktopStatus StatusOfError(int code) {
  if (code == 0) return DesktopStatus::kOk;
  if (code == BadWindow || code == BadDrawable) return DesktopStatus::kNoWindow;
  return DesktopStatus::kFailed;
}

std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// GBK text cut to at most maxBytes without splitting a double-byte character.
std::string CutGbk(std::string s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  std::size_t i = 0;
  while (i < maxBytes) {
    const std::size_t step = (IsGbkLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
    if (i + step > maxBytes) break;
    i += step;
  }
  s.resize(i);
  return s;
}

}  // namespace

// ---- connection ---------------------------------------------------------------------------------

struct Desktop::Impl {
  Display* d = nullptr;
  Window root = 0;
  Atom utf8String = 0;
  Atom netWmName = 0;
  Atom wmState = 0;
  Atom netSupported = 0;
  Atom netActiveWindow = 0;
  Atom netWmState = 0;
  Atom netWmStateMaxVert = 0;
  Atom netWmStateMaxHorz = 0;

  ~Impl() {
    if (d != nullptr) XCloseDisplay(d);
  }

  // Children of a window, bottom of the stack first, as the server lists them. Empty on error.
  std::vector<Window> QueryChildren(Window w) const {
    std::vector<Window> out;
    Window rootRet = 0, parentRet = 0;
    Window* children = nullptr;
    unsigned count = 0;
    ErrorTrap trap(d);
    if (XQueryTree(d, w, &rootRet, &parentRet, &children, &count) != 0 && children != nullptr) {
      out.assign(children, children + count);
    }
    if (children != nullptr) XFree(children);
    if (trap.Finish() != 0) out.clear();
    return out;
  }

  bool HasProperty(Window w, Atom property) const {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(d);
    const int rc = XGetWindowProperty(d, w, property, 0, 0, False, AnyPropertyType, &type, &format, &items,
                                      &after, &data);
    if (data != nullptr) XFree(data);
    return trap.Finish() == 0 && rc == Success && type != None;
  }

  // The window that a program made inside a root child: the root child itself when it carries WM_STATE
  // or when no window below it does (no window manager), else the first such window below it.
  Window ClientOf(Window top) const {
    if (HasProperty(top, wmState)) return top;
    std::vector<Window> level = {top};
    for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
      std::vector<Window> next;
      for (Window w : level) {
        for (Window c : QueryChildren(w)) {
          if (HasProperty(c, wmState)) return c;
          next.push_back(c);
        }
      }
      level = std::move(next);
    }
    return top;
  }

  std::string NameUtf8(Window w) const {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string name;
    ErrorTrap trap(d);
    if (XGetWindowProperty(d, w, netWmName, 0, 4096, False, utf8String, &type, &format, &items, &after,
                           &data) == Success &&
        type == utf8String && format == 8 && data != nullptr) {
      name.assign(reinterpret_cast<const char*>(data), items);
    }
    if (data != nullptr) XFree(data);
    if (!name.empty() || trap.Code() != 0) return trap.Finish() == 0 ? name : std::string();

    XTextProperty text{};
    if (XGetWMName(d, w, &text) != 0 && text.value != nullptr) {
      const std::string_view raw(reinterpret_cast<const char*>(text.value), text.nitems);
      if (text.encoding == XA_STRING) {
        name = Latin1ToUtf8(raw);
      } else if (text.encoding == utf8String) {
        name = std::string(raw);
      } else {
        char** list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(d, &text, &list, &count) >= Success && list != nullptr) {
          for (int i = 0; i < count; ++i) name += list[i];
          XFreeStringList(list);
        } else {
          name = std::string(raw);
        }
      }
    }
    if (text.value != nullptr) XFree(text.value);
    return trap.Finish() == 0 ? name : std::string();
  }

  bool Supported(Atom feature) const {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    ErrorTrap trap(d);
    if (XGetWindowProperty(d, root, netSupported, 0, 4096, False, XA_ATOM, &type, &format, &items, &after,
                           &data) == Success &&
        type == XA_ATOM && format == 32 && data != nullptr) {
      const auto* atoms = reinterpret_cast<const unsigned long*>(data);  // 32-bit items come as longs
      for (unsigned long i = 0; i < items; ++i) found = found || atoms[i] == feature;
    }
    if (data != nullptr) XFree(data);
    trap.Finish();
    return found;
  }

  DesktopStatus Exists(Window w) const {
    if (w == 0) return DesktopStatus::kNoWindow;
    XWindowAttributes attrs{};
    ErrorTrap trap(d);
    const DesktopStatus status = XGetWindowAttributes(d, w, &attrs) != 0 ? DesktopStatus::kOk : DesktopStatus::kNoWindow;
    return trap.Finish() != 0 ? DesktopStatus::kNoWindow : status;
  }

  void SendRootMessage(Window w, Atom type, long l0, long l1, long l2, long l3) const {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = l0;
    ev.xclient.data.l[1] = l1;
    ev.xclient.data.l[2] = l2;
    ev.xclient.data.l[3] = l3;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
  }

  DesktopStatus PostButton(Window w, bool down) const {
    if (Exists(w) != DesktopStatus::kOk) return DesktopStatus::kNoWindow;
    XEvent ev{};
    ev.xbutton.type = down ? ButtonPress : ButtonRelease;
    ev.xbutton.display = d;
    ev.xbutton.window = w;
    ev.xbutton.root = root;
    ev.xbutton.subwindow = None;
    ev.xbutton.time = CurrentTime;
    ev.xbutton.x = 0;
    ev.xbutton.y = 0;
    ev.xbutton.button = Button1;
    ev.xbutton.state = down ? 0 : Button1Mask;  // a release reports the button as held before it
    ev.xbutton.same_screen = True;
    ErrorTrap trap(d);
    Window child = 0;
    XTranslateCoordinates(d, w, root, 0, 0, &ev.xbutton.x_root, &ev.xbutton.y_root, &child);
    // An empty event mask sends the event to the program that created the window.
    const DesktopStatus sent = XSendEvent(d, w, False, NoEventMask, &ev) != 0 ? DesktopStatus::kOk : DesktopStatus::kFailed;
    const DesktopStatus error = StatusOfError(trap.Finish());
    return error != DesktopStatus::kOk ? error : sent;
  }
};

namespace {
std::string DisplayFromEnvironment() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr ? std::string(name) : std::string();
}
}  // namespace

Desktop::Desktop() : Desktop(DisplayFromEnvironment()) {}

Desktop::Desktop(const std::string& displayName) {
  if (displayName.empty()) {
    status_ = DesktopStatus::kNoDisplay;
    return;
  }
  Display* d = XOpenDisplay(displayName.c_str());
  if (d == nullptr) {
    status_ = DesktopStatus::kDisplayUnavailable;
    return;
  }
  impl_ = std::make_unique<Impl>();
  impl_->d = d;
  impl_->root = DefaultRootWindow(d);
  impl_->utf8String = XInternAtom(d, "UTF8_STRING", False);
  impl_->netWmName = XInternAtom(d, "_NET_WM_NAME", False);
  impl_->wmState = XInternAtom(d, "WM_STATE", False);
  impl_->netSupported = XInternAtom(d, "_NET_SUPPORTED", False);
  impl_->netActiveWindow = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  impl_->netWmState = XInternAtom(d, "_NET_WM_STATE", False);
  impl_->netWmStateMaxVert = XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_VERT", False);
  impl_->netWmStateMaxHorz = XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False);
  status_ = DesktopStatus::kOk;
}

Desktop::~Desktop() = default;

std::vector<WindowId> Desktop::TopLevelWindows() const {
  std::vector<WindowId> out;
  if (!Ok()) return out;
  const std::vector<Window> children = impl_->QueryChildren(impl_->root);
  for (auto it = children.rbegin(); it != children.rend(); ++it) out.push_back(impl_->ClientOf(*it));
  return out;
}

std::vector<WindowId> Desktop::ChildWindows(WindowId window) const {
  std::vector<WindowId> out;
  if (!Ok() || window == 0) return out;
  const std::vector<Window> children = impl_->QueryChildren(window);
  out.assign(children.rbegin(), children.rend());
  return out;
}

std::string Desktop::WindowTextUtf8(WindowId window) const {
  if (!Ok() || window == 0) return {};
  return impl_->NameUtf8(window);
}

std::string Desktop::WindowText(WindowId window, std::size_t maxBytes) const {
  const std::string utf8 = WindowTextUtf8(window);
  if (utf8.empty()) return {};
  std::optional<std::string> gbk = Utf8ToGbk(utf8, utf8.size());
  if (!gbk) return {};
  return CutGbk(std::move(*gbk), maxBytes);
}

WindowId Desktop::FindTopLevel(std::string_view titleGbk) const {
  if (!Ok()) return 0;
  const std::string wanted = GbkToUtf8(titleGbk);
  for (WindowId w : TopLevelWindows()) {
    if (impl_->NameUtf8(w) == wanted) return w;
  }
  return 0;
}

WindowId Desktop::FindTopLevelContaining(std::string_view partGbk) const {
  if (!Ok()) return 0;
  for (WindowId w : TopLevelWindows()) {
    if (GbkFind(WindowText(w), partGbk) != npos) return w;
  }
  return 0;
}

WindowId Desktop::FindChild(WindowId parent, std::string_view textGbk) const {
  if (!Ok()) return 0;
  const std::string wanted = GbkToUtf8(textGbk);
  for (WindowId w : ChildWindows(parent)) {
    if (impl_->NameUtf8(w) == wanted) return w;
  }
  return 0;
}

DesktopStatus Desktop::ShowNormal(WindowId window) {
  if (!Ok()) return status_;
  if (impl_->Exists(window) != DesktopStatus::kOk) return DesktopStatus::kNoWindow;
  const bool ewmh = impl_->Supported(impl_->netWmState);
  ErrorTrap trap(impl_->d);
  if (ewmh) {
    constexpr long kRemove = 0;
    constexpr long kFromPager = 2;
    impl_->SendRootMessage(window, impl_->netWmState, kRemove, static_cast<long>(impl_->netWmStateMaxVert),
                           static_cast<long>(impl_->netWmStateMaxHorz), kFromPager);
  }
  XMapWindow(impl_->d, window);
  return StatusOfError(trap.Finish());
}

DesktopStatus Desktop::BringToTop(WindowId window) {
  if (!Ok()) return status_;
  if (impl_->Exists(window) != DesktopStatus::kOk) return DesktopStatus::kNoWindow;
  const bool ewmh = impl_->Supported(impl_->netActiveWindow);
  ErrorTrap trap(impl_->d);
  XRaiseWindow(impl_->d, window);
  if (ewmh) {
    constexpr long kFromPager = 2;  // a request on the user's behalf, not a program stealing focus
    impl_->SendRootMessage(window, impl_->netActiveWindow, kFromPager, CurrentTime, 0, 0);
  }
  return StatusOfError(trap.Finish());
}

DesktopStatus Desktop::PostKeyDown(WindowId window, Key key) {
  if (!Ok()) return status_;
  KeySym sym = NoSymbol;
  switch (key) {
    case Key::kBackspace: sym = XK_BackSpace; break;
    case Key::kTab: sym = XK_Tab; break;
    case Key::kEnter: sym = XK_Return; break;
    case Key::kEscape: sym = XK_Escape; break;
    case Key::kSpace: sym = XK_space; break;
    case Key::kInsert: sym = XK_Insert; break;
    case Key::kDelete: sym = XK_Delete; break;
    default:
      if (static_cast<int>(key) >= static_cast<int>(Key::kF1) && static_cast<int>(key) <= static_cast<int>(Key::kF12)) {
        sym = XK_F1 + (static_cast<int>(key) - static_cast<int>(Key::kF1));
      }
  }
  const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(impl_->d, sym);
  if (code == 0) return DesktopStatus::kNoKeyCode;
  if (impl_->Exists(window) != DesktopStatus::kOk) return DesktopStatus::kNoWindow;

  XEvent ev{};
  ev.xkey.type = KeyPress;
  ev.xkey.display = impl_->d;
  ev.xkey.window = window;
  ev.xkey.root = impl_->root;
  ev.xkey.subwindow = None;
  ev.xkey.time = CurrentTime;
  ev.xkey.state = 0;
  ev.xkey.keycode = code;
  ev.xkey.same_screen = True;
  ErrorTrap trap(impl_->d);
  const DesktopStatus sent = XSendEvent(impl_->d, window, False, NoEventMask, &ev) != 0 ? DesktopStatus::kOk : DesktopStatus::kFailed;
  const DesktopStatus error = StatusOfError(trap.Finish());
  return error != DesktopStatus::kOk ? error : sent;
}

DesktopStatus Desktop::PostLeftButtonDown(WindowId window) {
  if (!Ok()) return status_;
  return impl_->PostButton(window, true);
}

DesktopStatus Desktop::PostLeftButtonUp(WindowId window) {
  if (!Ok()) return status_;
  return impl_->PostButton(window, false);
}

bool Desktop::IsVisible(WindowId window) const {
  if (!Ok() || window == 0) return false;
  XWindowAttributes attrs{};
  ErrorTrap trap(impl_->d);
  const bool got = XGetWindowAttributes(impl_->d, window, &attrs) != 0;
  return trap.Finish() == 0 && got && attrs.map_state == IsViewable;
}

std::optional<Key> KeyFromVirtualKey(int vk) {
  switch (vk) {
    case 8: case 9: case 13: case 27: case 32: case 45: case 46:
      return static_cast<Key>(vk);
    default:
      if (vk >= 112 && vk <= 123) return static_cast<Key>(vk);
      return std::nullopt;
  }
}

std::string_view StatusName(DesktopStatus s) {
  switch (s) {
    case DesktopStatus::kOk: return "ok";
    case DesktopStatus::kNoDisplay: return "no X11 display ($DISPLAY is not set)";
    case DesktopStatus::kDisplayUnavailable: return "the X11 display cannot be opened";
    case DesktopStatus::kNoWindow: return "no such window";
    case DesktopStatus::kNoKeyCode: return "the keyboard has no such key";
    case DesktopStatus::kFailed: return "the X server refused the request";
  }
  return "unknown";
}

std::string_view StatusMessage(DesktopStatus s) {
  switch (s) {
    case DesktopStatus::kOk: return {};
    case DesktopStatus::kNoDisplay:
      // 没有X11显示（DISPLAY未设置），无法操作其它程序的窗口。
      return "\xC3\xBB\xD3\xD0X11\xCF\xD4\xCA\xBE\xA3\xA8" "DISPLAY\xCE\xB4\xC9\xE8\xD6\xC3\xA3\xA9\xA3\xAC\xCE\xDE"
             "\xB7\xA8\xB2\xD9\xD7\xF7\xC6\xE4\xCB\xFC\xB3\xCC\xD0\xF2\xB5\xC4\xB4\xB0\xBF\xDA\xA1\xA3";
    case DesktopStatus::kDisplayUnavailable:
      // 无法连接到X11显示，无法操作其它程序的窗口。
      return "\xCE\xDE\xB7\xA8\xC1\xAC\xBD\xD3\xB5\xBDX11\xCF\xD4\xCA\xBE\xA3\xAC\xCE\xDE\xB7\xA8\xB2\xD9\xD7\xF7"
             "\xC6\xE4\xCB\xFC\xB3\xCC\xD0\xF2\xB5\xC4\xB4\xB0\xBF\xDA\xA1\xA3";
    case DesktopStatus::kNoWindow:
      // 窗口不存在或已关闭。
      return "\xB4\xB0\xBF\xDA\xB2\xBB\xB4\xE6\xD4\xDA\xBB\xF2\xD2\xD1\xB9\xD8\xB1\xD5\xA1\xA3";
    case DesktopStatus::kNoKeyCode:
      // 键盘上没有这个按键，无法发送。
      return "\xBC\xFC\xC5\xCC\xC9\xCF\xC3\xBB\xD3\xD0\xD5\xE2\xB8\xF6\xB0\xB4\xBC\xFC\xA3\xAC\xCE\xDE\xB7\xA8"
             "\xB7\xA2\xCB\xCD\xA1\xA3";
    case DesktopStatus::kFailed:
      // X11服务器拒绝了这个操作。
      return "X11\xB7\xFE\xCE\xF1\xC6\xF7\xBE\xDC\xBE\xF8\xC1\xCB\xD5\xE2\xB8\xF6\xB2\xD9\xD7\xF7\xA1\xA3";
  }
  return {};
}

}  // namespace qv::x11
