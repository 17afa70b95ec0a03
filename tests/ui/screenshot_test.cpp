// The real window on an X server: it maps, shows a report, and closes from the close box.
// The test runs itself again under xvfb-run as the window's process.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QWindow>
#include <cstdio>
#include <cstring>

#include "decode/isolated_tester.h"
#include "tests/support/helper_main.h"
#include "tests/support/temp_dir.h"
#include "tests/gen/ogg_gen.h"
#include "tests/ui/ui_support.h"

namespace {

constexpr char kChildFlag[] = "--window-child";

int Fail(const char* why) {
  std::fprintf(stderr, "window child: %s\n", why);
  return 1;
}

// On the X server: show the window on `folder`, photograph the screen into `png`, then
// close the window the way its close box does.
int RunWindowChild(int argc, char** argv, const char* png, const char* folder) {
  QApplication app(argc, argv);
  CScanDlg dlg;
  dlg.m_testerFactory = IsolatedTesterFactory();
  dlg.m_strCmdLine = folder;
  dlg.show();
  if (!QTest::qWaitForWindowExposed(&dlg, 20000)) return Fail("the window never mapped");
  if (!uitest::WaitIdle(dlg)) return Fail("the scan did not finish");
  QTest::qWait(300);  // let the last refresh paint

  QProcess import;
  import.start("import", {"-window", "root", png});
  if (!import.waitForFinished(30000) || import.exitCode() != 0) return Fail("import failed");
  const QImage shot(png);
  if (shot.isNull()) return Fail("no screenshot");
  // The screen outside the window is the server's black; the window is not.
  const QRect frame = dlg.frameGeometry().intersected(shot.rect());
  long lit = 0;
  for (int y = frame.top(); y <= frame.bottom(); ++y) {
    for (int x = frame.left(); x <= frame.right(); ++x) lit += (shot.pixel(x, y) & 0xFFFFFF) != 0;
  }
  if (frame.isEmpty() || lit < long(frame.width()) * frame.height() * 9 / 10) {
    return Fail("the window is not on the screen");
  }

  dlg.windowHandle()->close();
  if (!uitest::WaitUntil([&] { return !dlg.isVisible(); }, 10000)) return Fail("did not close");
  return 0;
}

TEST(Screenshot, TheWindowMapsOnADisplayShowsTheReportAndCloses) {
  const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
  if (xvfbRun.isEmpty()) GTEST_SKIP() << "xvfb-run is not installed";
  if (QStandardPaths::findExecutable("import").isEmpty()) GTEST_SKIP() << "import is missing";

  TempDir dir;
  ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", testgen::MakeCase(testgen::Damage::kClean)));
  ASSERT_TRUE(testgen::WriteBytes(dir / "hole.ogg", testgen::MakeCase(testgen::Damage::kDropPage)));
  const QString png = QDir::current().absoluteFilePath("ui_screenshot.png");
  QFile::remove(png);

  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "xcb");
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(xvfbRun,
              {"-a", "-s", "-screen 0 1024x768x24", QCoreApplication::applicationFilePath(),
               kChildFlag, png, QString::fromStdString(dir.path().native())});
  ASSERT_TRUE(child.waitForFinished(120000)) << "the window's process did not end";
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
  EXPECT_TRUE(QFile::exists(png));
}

}  // namespace

int main(int argc, char** argv) {
  HARROWBIT_SERVE_AS_DECODER_HELPER(argc, argv);
  if (argc == 4 && std::strcmp(argv[1], kChildFlag) == 0) {
    return RunWindowChild(argc, argv, argv[2], argv[3]);
  }
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
