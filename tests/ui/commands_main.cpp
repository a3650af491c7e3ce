// Test program of the stand-alone window commands: one QApplication, on the X11 display when the
// test runs under xvfb-run (QUELVAR_TEST_X11 set), else offscreen.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("QUELVAR_TEST_X11") ? "offscreen" : "xcb");
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
