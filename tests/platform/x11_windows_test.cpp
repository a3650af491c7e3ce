// The X11 layer against windows that the test makes itself on its own connection, so that what
// arrives at them can be read back exactly.
#include <gtest/gtest.h>  // before Xlib, whose macros (None, Status, ...) it does not survive

#include "platform/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

namespace qv::x11 {
namespace {

// 影音传送带 in GBK and UTF-8
const std::string kTitleGbk = "\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8";
const std::string kTitleUtf8 = "影音传送带";

class X11WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr) << "these tests run on an X11 display (xvfb-run)";
    ASSERT_TRUE(desk.Ok()) << StatusName(desk.status());
  }
  void TearDown() override {
    if (d != nullptr) XCloseDisplay(d);
  }

  // A window of this connection; named through _NET_WM_NAME (UTF-8) and/or WM_NAME (Latin-1).
  Window Make(Window parent, const std::optional<std::string>& utf8Name, bool map,
              const std::optional<std::string>& latin1Name = std::nullopt) {
    const Window w = XCreateSimpleWindow(d, parent, 10, 10, 200, 100, 0, 0, 0);
    if (utf8Name) {
      XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(utf8Name->data()),
                      static_cast<int>(utf8Name->size()));
    }
    if (latin1Name) XStoreName(d, w, latin1Name->c_str());
    if (map) XMapWindow(d, w);
    XSync(d, False);
    return w;
  }
  Window Root() const { return DefaultRootWindow(d); }

  // The next event of this connection, waiting up to 5 s.
  std::optional<XEvent> NextEvent(int type) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      while (XPending(d) > 0) {
        XEvent ev;
        XNextEvent(d, &ev);
        if (ev.type == type) return ev;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }

  static long IndexOf(const std::vector<WindowId>& v, WindowId w) {
    const auto it = std::find(v.begin(), v.end(), w);
    return it == v.end() ? -1 : static_cast<long>(it - v.begin());
  }

  Display* d = nullptr;
  Desktop desk;
};

TEST_F(X11WindowsTest, FindsTopLevelWindowsByExactTitleOrByAPartOfIt) {
  const Window hidden = Make(Root(), kTitleUtf8, false);
  const Window other = Make(Root(), kTitleUtf8 + " 2", true);
  const Window latin = Make(Root(), std::nullopt, true, "Stra\xDF FlashGet");

  EXPECT_EQ(desk.FindTopLevel(kTitleGbk), hidden);  // unmapped windows count
  EXPECT_EQ(desk.FindTopLevel(kTitleGbk.substr(0, 8)), 0u);
  EXPECT_EQ(desk.FindTopLevelContaining(kTitleGbk + " 2"), other);
  EXPECT_EQ(desk.FindTopLevelContaining("FlashGet"), latin);
  EXPECT_EQ(desk.FindTopLevelContaining("flashget"), 0u);

  EXPECT_EQ(desk.WindowText(hidden), kTitleGbk);
  EXPECT_EQ(desk.WindowText(hidden, 5), kTitleGbk.substr(0, 4));  // never half a character
  EXPECT_EQ(desk.WindowTextUtf8(latin), "Straß FlashGet");
  EXPECT_EQ(desk.WindowText(latin), "Stra? FlashGet");  // GBK has no ß

  const std::vector<WindowId> all = desk.TopLevelWindows();
  EXPECT_GE(IndexOf(all, hidden), 0);
  EXPECT_LT(IndexOf(all, latin), IndexOf(all, other));  // topmost first
}

TEST_F(X11WindowsTest, UnderAWindowManagerTheProgramsWindowInsideItsFrameStandsForIt) {
  // What a reparenting window manager makes: an unnamed frame on the root window, the program's
  // window inside it (marked with WM_STATE), and that window's own children.
  const Window frame = Make(Root(), std::nullopt, true);
  const Window decoration = Make(frame, std::string("title bar"), true);
  const Window client = Make(frame, kTitleUtf8, true);
  const long normalState[2] = {1, 0};
  const Atom wmState = XInternAtom(d, "WM_STATE", False);
  XChangeProperty(d, client, wmState, wmState, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(normalState), 2);
  const Window trigger = Make(client, std::string("morvandelquist"), true);
  XSync(d, False);

  const std::vector<WindowId> all = desk.TopLevelWindows();
  EXPECT_GE(IndexOf(all, client), 0);
  EXPECT_EQ(IndexOf(all, frame), -1);
  EXPECT_EQ(IndexOf(all, decoration), -1);
  EXPECT_EQ(desk.FindTopLevel(kTitleGbk), client);
  EXPECT_EQ(desk.FindChild(client, "morvandelquist"), trigger);
}

TEST_F(X11WindowsTest, WalksDirectChildrenOnly) {
  const Window parent = Make(Root(), std::string("parent"), true);
  const Window first = Make(parent, std::string("first"), true);
  const Window trigger = Make(parent, std::string("morvandelquist"), true);
  Make(first, std::string("deep"), true);

  EXPECT_EQ(desk.ChildWindows(parent), (std::vector<WindowId>{trigger, first}));
  EXPECT_EQ(desk.FindChild(parent, "morvandelquist"), trigger);
  EXPECT_EQ(desk.FindChild(parent, "Morvandelquist"), 0u);
  EXPECT_EQ(desk.FindChild(parent, "deep"), 0u);
  EXPECT_EQ(desk.FindTopLevel("morvandelquist"), 0u);
}

TEST_F(X11WindowsTest, ShowNormalMapsAndBringToTopRestacks) {
  const Window lower = Make(Root(), std::string("lower"), false);
  const Window upper = Make(Root(), std::string("upper"), true);
  EXPECT_FALSE(desk.IsVisible(lower));
  EXPECT_EQ(desk.ShowNormal(lower), DesktopStatus::kOk);
  EXPECT_TRUE(desk.IsVisible(lower));

  std::vector<WindowId> all = desk.TopLevelWindows();
  ASSERT_LT(IndexOf(all, upper), IndexOf(all, lower));
  EXPECT_EQ(desk.BringToTop(lower), DesktopStatus::kOk);
  all = desk.TopLevelWindows();
  EXPECT_LT(IndexOf(all, lower), IndexOf(all, upper));
  EXPECT_EQ(IndexOf(all, lower), 0);
}

TEST_F(X11WindowsTest, PostedKeysAndClicksReachTheProgramThatMadeTheWindow) {
  const Window w = Make(Root(), std::string("target"), true);
  XSelectInput(d, w, NoEventMask);  // posting does not depend on what the program selected

  ASSERT_EQ(desk.PostKeyDown(w, Key::kInsert), DesktopStatus::kOk);
  std::optional<XEvent> ev = NextEvent(KeyPress);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->xkey.window, w);
  EXPECT_TRUE(ev->xkey.send_event);
  EXPECT_EQ(XLookupKeysym(&ev->xkey, 0), static_cast<KeySym>(XK_Insert));

  ASSERT_EQ(desk.PostKeyDown(w, *KeyFromVirtualKey(115)), DesktopStatus::kOk);
  ev = NextEvent(KeyPress);
  ASSERT_TRUE(ev);
  EXPECT_EQ(XLookupKeysym(&ev->xkey, 0), static_cast<KeySym>(XK_F4));

  ASSERT_EQ(desk.PostLeftButtonDown(w), DesktopStatus::kOk);
  ASSERT_EQ(desk.PostLeftButtonUp(w), DesktopStatus::kOk);
  ev = NextEvent(ButtonPress);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->xbutton.window, w);
  EXPECT_EQ(ev->xbutton.button, static_cast<unsigned>(Button1));
  EXPECT_EQ(ev->xbutton.x, 0);
  EXPECT_EQ(ev->xbutton.y, 0);
  EXPECT_EQ(ev->xbutton.x_root, 10);  // the window's place on the screen
  ev = NextEvent(ButtonRelease);
  ASSERT_TRUE(ev);
  EXPECT_TRUE(ev->xbutton.state & Button1Mask);
}

TEST_F(X11WindowsTest, WindowsThatAreGoneAreReportedAsSuch) {
  const Window w = Make(Root(), std::string("short-lived"), true);
  XDestroyWindow(d, w);
  XSync(d, False);
  for (const DesktopStatus s : {desk.ShowNormal(w), desk.BringToTop(w), desk.PostKeyDown(w, Key::kInsert),
                         desk.PostLeftButtonDown(w), desk.PostKeyDown(0, Key::kF4)}) {
    EXPECT_EQ(s, DesktopStatus::kNoWindow);
  }
  EXPECT_TRUE(desk.ChildWindows(w).empty());
  EXPECT_EQ(desk.WindowText(w), "");
  EXPECT_FALSE(desk.IsVisible(w));
  // The connection still works afterwards.
  const Window again = Make(Root(), std::string("after"), true);
  EXPECT_EQ(desk.FindTopLevel("after"), again);
}

}  // namespace
}  // namespace qv::x11
