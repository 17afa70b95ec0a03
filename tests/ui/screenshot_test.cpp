// The real window on an X server, judged from photographs of the screen: it maps and shows
// a report, the verdict at the end of a long line shows after End, a deep shrink leaves no
// trace in the layout, and it closes from the close box. Each scene runs the test again
// under xvfb-run as the window's process.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode/isolated_tester.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/helper_main.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_support.h"

namespace {

constexpr char kChildFlag[] = "--window-child";

enum Scene { kReport, kEndOfLongLine, kDeepShrink };

// The damaged file's line ends far beyond the right edge of the pane.
const std::string kLongName = [] {
  std::string name;
  for (int i = 0; i < 12; ++i) name += "a very long name ";
  return name + "with a hole.ogg";
}();

int Fail(const char* why) {
  std::fprintf(stderr, "window child: %s\n", why);
  return 1;
}

// The whole screen as the X server shows it, also kept as `png` to look at.
QImage Photograph(const QString& png) {
  QProcess import;
  import.start("import", {"-window", "root", png});
  if (!import.waitForFinished(30000) || import.exitCode() != 0) return {};
  return QImage(png).convertToFormat(QImage::Format_RGB32);
}

// Input as a person gives it: through the X server, to whichever window it reaches.
bool Xdotool(const QStringList& args) {
  QProcess xdotool;
  xdotool.start("xdotool", args);
  return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

long DifferingPixels(const QImage& a, const QImage& b, const QRect& r) {
  long differing = 0;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) differing += a.pixel(x, y) != b.pixel(x, y);
  }
  return differing;
}

// The screen outside the window is the server's black; the window is not.
bool OnScreen(const QImage& shot, const QRect& window) {
  const QRect frame = window.intersected(shot.rect());
  long lit = 0;
  for (int y = frame.top(); y <= frame.bottom(); ++y) {
    for (int x = frame.left(); x <= frame.right(); ++x) lit += (shot.pixel(x, y) & 0xFFFFFF) != 0;
  }
  return !frame.isEmpty() && lit >= long(frame.width()) * frame.height() * 9 / 10;
}

// Click on the long line, photograph, press End, photograph: before, the line runs off the
// pane's right edge; after, it ends inside the pane.
int EndOfLongLine(CScanDlg& dlg, const QString& base) {
  QPlainTextEdit& pane = *dlg.m_editLog;
  QTextBlock line = pane.document()->begin();
  while (line.isValid() && !line.text().contains("with a hole.ogg...ERROR (OV_HOLE @ ")) {
    line = line.next();
  }
  if (!line.isValid()) return Fail("no line for the damaged file");
  const QPoint start = pane.viewport()->mapToGlobal(pane.cursorRect(QTextCursor(line)).center());
  if (!Xdotool({"mousemove", QString::number(start.x() + 2), QString::number(start.y()), "click",
                "1"})) {
    return Fail("xdotool could not click");
  }
  if (pane.fontMetrics().horizontalAdvance(line.text()) <= pane.viewport()->width()) {
    return Fail("the line fits the pane: nothing to reach");
  }
  QTest::qWait(300);
  const QImage before = Photograph(base + "-before.png");
  if (!Xdotool({"key", "End"})) return Fail("xdotool could not press End");
  QTest::qWait(300);
  const QImage after = Photograph(base + ".png");
  if (before.isNull() || after.isNull()) return Fail("no screenshot");

  const QRect caret = pane.cursorRect();
  if (pane.textCursor().block() != line || !pane.textCursor().atBlockEnd() ||
      !pane.viewport()->rect().contains(caret)) {
    return Fail("the caret is not at the end of the line, in view");
  }
  if (pane.horizontalScrollBar()->isVisible()) return Fail("a horizontal scroll bar shows");
  // The screen shows the pane as it now draws itself, the blinking caret aside, and not as
  // it showed before End.
  const QImage drawn = pane.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QPoint origin = pane.viewport()->mapToGlobal(QPoint(0, 0));
  const QRect blink = caret.adjusted(-2, 0, 2, 0);
  long differing = 0;
  long moved = 0;
  for (int y = 0; y < drawn.height(); ++y) {
    for (int x = 0; x < drawn.width(); ++x) {
      if (blink.contains(x, y)) continue;
      const QPoint at = origin + QPoint(x, y);
      differing += after.pixel(at) != drawn.pixel(x, y);
      moved += after.pixel(at) != before.pixel(at);
    }
  }
  if (differing != 0) return Fail("the screen does not show what the pane draws");
  if (moved == 0) return Fail("End changed nothing on the screen");
  return 0;
}

// Shrink the window to 30 x 30 from outside, as a window manager that ignores the minimum
// size may, and back: the photographs of the window before and after are the same.
int DeepShrink(CScanDlg& dlg, const QString& base) {
  const QImage before = Photograph(base + "-before.png");
  const QSize size = dlg.size();
  for (const QSize to : {QSize(30, 30), size}) {
    if (!Xdotool({"windowsize", QString::number(dlg.winId()), QString::number(to.width()),
                  QString::number(to.height())}) ||
        !uitest::WaitUntil([&] { return dlg.size() == to; })) {
      return Fail("the window did not take its new size");
    }
    QTest::qWait(300);
    if (to != size) Photograph(base + "-small.png");
  }
  const QImage after = Photograph(base + ".png");
  if (before.isNull() || after.isNull()) return Fail("no screenshot");
  const long differing = DifferingPixels(before, after, dlg.frameGeometry() & before.rect());
  if (differing != 0) {
    std::fprintf(stderr, "window child: %ld pixels differ after the shrink\n", differing);
    return 1;
  }
  return 0;
}

// On the X server: show the window on `folder`, play the scene, photograph the screen into
// `base`.png (and the steps before into `base`-*.png), then close the window the way its
// close box does.
int RunWindowChild(int argc, char** argv, Scene scene, const QString& base, const char* folder) {
  QApplication app(argc, argv);
  CScanDlg dlg;
  dlg.m_testerFactory = IsolatedTesterFactory();
  dlg.m_strCmdLine = folder;
  dlg.show();
  if (!QTest::qWaitForWindowExposed(&dlg, 20000)) return Fail("the window never mapped");
  if (!uitest::WaitIdle(dlg)) return Fail("the scan did not finish");
  QTest::qWait(300);  // let the last refresh paint

  int status = 0;
  if (scene == kEndOfLongLine) status = EndOfLongLine(dlg, base);
  if (scene == kDeepShrink) status = DeepShrink(dlg, base);
  if (status != 0) return status;
  const QString png = base + ".png";
  const QImage shot = scene == kReport ? Photograph(png) : QImage(png);
  if (shot.isNull()) return Fail("no screenshot");
  if (!OnScreen(shot, dlg.frameGeometry())) return Fail("the window is not on the screen");

  dlg.windowHandle()->close();
  if (!uitest::WaitUntil([&] { return !dlg.isVisible(); }, 10000)) return Fail("did not close");
  return 0;
}

class Screenshot : public testing::TestWithParam<Scene> {};

TEST_P(Screenshot, OnARealDisplay) {
  const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
  if (xvfbRun.isEmpty()) GTEST_SKIP() << "xvfb-run is not installed";
  if (QStandardPaths::findExecutable("import").isEmpty()) GTEST_SKIP() << "import is missing";
  if (QStandardPaths::findExecutable("xdotool").isEmpty()) GTEST_SKIP() << "xdotool is missing";

  TempDir dir;
  ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", testgen::MakeCase(testgen::Damage::kClean)));
  ASSERT_TRUE(testgen::WriteBytes(dir / kLongName, testgen::MakeCase(testgen::Damage::kDropPage)));
  const char* const names[] = {"report", "end-of-long-line", "deep-shrink"};
  const QString base =
      QDir::current().absoluteFilePath(QString("ui_screenshot-%1").arg(names[GetParam()]));
  const QString png = base + ".png";
  QFile::remove(png);

  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "xcb");
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(
      xvfbRun,
      {"-a", "-s", "-screen 0 1024x768x24", QCoreApplication::applicationFilePath(), kChildFlag,
       QString::number(GetParam()), base, QString::fromStdString(dir.path().native())});
  ASSERT_TRUE(child.waitForFinished(120000)) << "the window's process did not end";
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
  EXPECT_TRUE(QFile::exists(png));
}

std::string SceneName(const testing::TestParamInfo<Scene>& info) {
  const char* const names[] = {"TheWindowShowsTheReportAndCloses", "EndShowsTheEndOfALongLine",
                               "ADeepShrinkLeavesTheLayoutAsItWas"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Scenes, Screenshot, testing::Values(kReport, kEndOfLongLine, kDeepShrink),
                         SceneName);

}  // namespace

int main(int argc, char** argv) {
  HARROWBIT_SERVE_AS_DECODER_HELPER(argc, argv);
  if (argc == 5 && std::strcmp(argv[1], kChildFlag) == 0) {
    return RunWindowChild(argc, argv, Scene(std::atoi(argv[2])), QString::fromLocal8Bit(argv[3]),
                          argv[4]);
  }
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
