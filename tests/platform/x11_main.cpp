// Test program for the X11 tests: a Qt application on the X11 display ($DISPLAY, normally an Xvfb
// server started by xvfb-run), so that tests can own the clipboard as the program does.
#include <gtest/gtest.h>

#include <QGuiApplication>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "xcb");
  ::testing::InitGoogleTest(&argc, argv);
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
