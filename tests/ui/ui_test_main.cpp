#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/helper_main.h"

int main(int argc, char** argv) {
  // A window left with its default tester decodes in this binary, as its helper.
  HARROWBIT_SERVE_AS_DECODER_HELPER(argc, argv);
  // Headless unless a test run asks for a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
