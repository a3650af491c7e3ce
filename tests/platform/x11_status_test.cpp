// Without an X11 display every operation says so, instead of failing silently.
#include <gtest/gtest.h>

#include "platform/x11_windows.h"
#include "tests/platform/env_var.h"

namespace qv::x11 {
namespace {

TEST(X11StatusTest, NoDisplayOrAnUnreachableOneIsReported) {
  struct Case {
    const char* display;
    DesktopStatus status;
  };
  for (const Case c : {Case{nullptr, DesktopStatus::kNoDisplay}, Case{"", DesktopStatus::kNoDisplay},
                       Case{":4711", DesktopStatus::kDisplayUnavailable}}) {
    SCOPED_TRACE(c.display ? c.display : "(unset)");
    qv::testing::EnvVar display("DISPLAY", c.display);
    Desktop desk;
    EXPECT_EQ(desk.status(), c.status);
    EXPECT_FALSE(desk.Ok());
    EXPECT_FALSE(StatusMessage(c.status).empty());
    EXPECT_EQ(desk.ShowNormal(1), c.status);
    EXPECT_EQ(desk.BringToTop(1), c.status);
    EXPECT_EQ(desk.PostKeyDown(1, Key::kInsert), c.status);
    EXPECT_EQ(desk.PostLeftButtonDown(1), c.status);
    EXPECT_EQ(desk.PostLeftButtonUp(1), c.status);
    EXPECT_EQ(desk.FindTopLevel("x"), 0u);
    EXPECT_EQ(desk.FindTopLevelContaining("x"), 0u);
    EXPECT_TRUE(desk.TopLevelWindows().empty());
  }
}

TEST(X11StatusTest, VirtualKeyCodes) {
  EXPECT_EQ(KeyFromVirtualKey(45), Key::kInsert);
  EXPECT_EQ(KeyFromVirtualKey(115), Key::kF4);
  EXPECT_EQ(KeyFromVirtualKey(123), Key::kF12);
  EXPECT_EQ(KeyFromVirtualKey(124), std::nullopt);
  EXPECT_EQ(KeyFromVirtualKey(65), std::nullopt);
}

}  // namespace
}  // namespace qv::x11
