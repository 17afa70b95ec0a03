// The program calls itself by its desktop entry's name: on Wayland the window's app id is
// that name, and docks find the entry, and its icon, by it. (On X11 the window's class does
// this; the window-class test checks it on a real X server.)

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QGuiApplication>

#include "app/scan_app.h"

namespace {

TEST(DesktopEntry, TheProgramNamesItsInstalledEntry) {
  char name[] = "harrowbit";
  char* argv[] = {name, nullptr};
  int argc = 1;
  CScanApp app(argc, argv);
  EXPECT_EQ((QGuiApplication::desktopFileName() + ".desktop").toStdString(),
            QFileInfo(HARROWBIT_DESKTOP_ENTRY).fileName().toStdString());
}

}  // namespace
