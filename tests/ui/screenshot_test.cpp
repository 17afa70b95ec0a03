// The real window on an X server, judged from photographs of the screen: it maps and shows
// a report, the verdict at the end of a long line shows after End, a deep shrink leaves no
// trace in the layout, and it closes from the close box. Under a window manager, as people
// use it: a cancelled check says what it left and a second Esc keeps the window, a folder
// that cannot be read is named, a right-to-left name leaves its line left to right, and
// the window opens inside the screen with a large font and when scaled. Each scene runs
// the test again on an X server of its own as the window's process.
//
// The mid-check scene is the README's picture: a library part checked, one file damaged,
// the check held on a file while the screen is photographed. It must render for the
// committed picture (HARROWBIT_DOCS_PICTURE) to stay true; with HARROWBIT_UPDATE_DOCS=1 in
// the environment it writes the window's photograph over that picture.

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#include <QWindow>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "decode/isolated_tester.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/helper_main.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_support.h"

namespace {

constexpr char kChildFlag[] = "--window-child";

enum Scene {
  kReport,
  kEndOfLongLine,
  kDeepShrink,
  kCancelled,
  kUnreadable,
  kRightToLeft,
  kLargeFont,
  kScaledTwice,
  kMidCheck
};

// How each scene's X server and window are set up.
struct SceneSetup {
  const char* name;
  const char* screen;
  bool windowManager;
  const char* scale;  // QT_SCALE_FACTOR, or null
};
const SceneSetup kSetups[] = {
    {"report", "1024x768", false, nullptr},      {"end-of-long-line", "1024x768", false, nullptr},
    {"deep-shrink", "1024x768", false, nullptr}, {"cancelled", "1024x768", true, nullptr},
    {"unreadable", "1024x768", true, nullptr},   {"right-to-left", "1024x768", true, nullptr},
    {"large-font", "1600x1200", true, nullptr},  {"scaled-twice", "1600x1000", true, "2"},
    {"mid-check", "1024x768", true, nullptr},
};

constexpr int kManyFiles = 2500;
// "Songs" in Hebrew: a relative folder name that begins the line with right-to-left text.
const char kHebrewFolder[] = "\u05E9\u05D9\u05E8\u05D9\u05DD";

// Files that take a while: a check of many of them runs long enough to cancel by hand.
class CSlowTester final : public IFileTester {
 public:
  bool Open(const ListedFile&) override {
    m_verdict = {};
    m_verdict.opened = true;
    m_verdict.samples = 1024 * 10;
    m_left = 10;
    return true;
  }
  int64_t DecodeStep() override {
    // Not a wait: a file's pace, slow enough that a person could cancel the scan.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (m_left-- > 0) return 1024;
    m_verdict.status = FileVerdict::Status::kOk;
    return 0;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  FileVerdict m_verdict;
  int m_left = 0;
};

// The README's library: an album and a half, two of its files damaged.
const char* const kAlbumFiles[] = {
    "Field Recordings/01 Dawn Chorus.ogg",   "Field Recordings/02 Harbour.ogg",
    "Field Recordings/03 Rain on Slate.ogg", "Field Recordings/04 Night Train.ogg",
    "Field Recordings/05 Low Tide.ogg",      "Field Recordings/06 Thaw.ogg",
    "Live at the Mill/01 Intro.ogg",         "Live at the Mill/02 Reel.ogg",
    "Live at the Mill/03 Encore.ogg",        "Live at the Mill/04 Outro.ogg",
};
// The check is held on the first clean file from the seventh on (counted from 1 in list
// order, which is the file system's): a damaged file could end before the hold.
constexpr int kHoldFrom = 7;
bool IsDamagedAlbumFile(const std::string& name) {
  return name.find("Harbour") != name.npos || name.find("Reel") != name.npos;
}

// The window's own helper-process tester, held halfway through that file's decode until
// the photograph is taken: the picture shows a check in its middle.
struct CHold {
  std::mutex mutex;
  std::condition_variable changed;
  int opened = 0;
  int heldNumber = 0;  // the held file's number in the report, once held
  bool reached = false;
  bool released = false;
};
class CHeldTester final : public IFileTester {
 public:
  CHeldTester(std::unique_ptr<IFileTester> inner, CHold& hold)
      : m_inner(std::move(inner)), m_hold(hold) {}
  bool Open(const ListedFile& file) override {
    std::lock_guard lock(m_hold.mutex);
    m_held = ++m_hold.opened >= kHoldFrom && m_hold.heldNumber == 0 &&
             !IsDamagedAlbumFile(file.path.filename().native());
    if (m_held) m_hold.heldNumber = m_hold.opened;
    m_decoded = 0;
    return m_inner->Open(file);
  }
  int64_t DecodeStep() override {
    // Held halfway through the file, so that its progress shows.
    if (m_held && m_decoded * 2 >= m_inner->Verdict().samples) {
      std::unique_lock lock(m_hold.mutex);
      m_hold.reached = true;
      m_hold.changed.notify_all();
      // Bounded only so that a scene that went wrong still ends.
      m_hold.changed.wait_for(lock, std::chrono::minutes(2), [&] { return m_hold.released; });
      m_held = false;
    }
    const int64_t step = m_inner->DecodeStep();
    if (step > 0) m_decoded += step;
    return step;
  }
  const FileVerdict& Verdict() const override { return m_inner->Verdict(); }

 private:
  std::unique_ptr<IFileTester> m_inner;
  CHold& m_hold;
  bool m_held = false;
  int64_t m_decoded = 0;
};

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

int Fail(const std::string& why) { return Fail(why.c_str()); }

// A window manager that frames windows, gives them the focus and keeps panels' room, as
// desktops do. Up means it has taken the root window (_NET_SUPPORTING_WM_CHECK) and ended
// its start-up, which it marks by running the command it is given (a window mapped before
// then may wait for good on a loaded machine); false when that has not happened within a
// minute, a limit no loaded machine comes near.
bool StartWindowManager(QProcess& wm) {
  const QString ready = QDir::temp().filePath(
      QString("harrowbit-wm-ready-%1").arg(QCoreApplication::applicationPid()));
  QFile::remove(ready);
  wm.start("openbox", {"--startup", "touch " + ready});
  if (!wm.waitForStarted(60000)) return false;
  const bool up = uitest::WaitUntil([&] {
    if (!QFile::exists(ready)) return false;
    QProcess xprop;
    xprop.start("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"});
    return xprop.waitForFinished(60000) && xprop.readAllStandardOutput().contains("window id");
  });
  QFile::remove(ready);
  return up;
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

// Photographs the screen until `shows` holds of the picture: a loaded X server draws what
// a window sent it late, and no fixed pause is long enough for every machine. The last
// picture is returned either way, for the caller to judge and keep.
QImage PhotographWhen(const QString& png, const std::function<bool(const QImage&)>& shows) {
  QImage shot;
  uitest::WaitUntil([&] {
    shot = Photograph(png);
    return !shot.isNull() && shows(shot);
  });
  return shot;
}

long DifferingPixels(const QImage& a, const QImage& b, const QRect& r) {
  long differing = 0;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) differing += a.pixel(x, y) != b.pixel(x, y);
  }
  return differing;
}

// The window with its frame, as the window system has it now: the widget's own record is
// taken only when the window moves or resizes, and a window manager that frames a window
// where it asked to be never moves it.
QRect Frame(const CScanDlg& dlg) { return dlg.windowHandle()->frameGeometry(); }

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
  // Pixels where the screen and `shot` differ from what the pane draws now, the blinking
  // caret aside.
  const auto differing = [&](const QImage& shot, const QImage& other) {
    const QImage drawn = pane.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QPoint origin = pane.viewport()->mapToGlobal(QPoint(0, 0));
    const QRect blink = pane.cursorRect().adjusted(-2, 0, 2, 0);
    std::pair<long, long> counts{0, 0};
    for (int y = 0; y < drawn.height(); ++y) {
      for (int x = 0; x < drawn.width(); ++x) {
        if (blink.contains(x, y)) continue;
        const QPoint at = origin + QPoint(x, y);
        counts.first += shot.pixel(at) != drawn.pixel(x, y);
        if (!other.isNull()) counts.second += shot.pixel(at) != other.pixel(at);
      }
    }
    return counts;
  };
  const auto showsThePane = [&](const QImage& shot) { return differing(shot, {}).first == 0; };
  if (!uitest::WaitUntil([&] { return pane.textCursor().block() == line; })) {
    return Fail("the click did not reach the line");
  }
  const QImage before = PhotographWhen(base + "-before.png", showsThePane);
  if (!Xdotool({"key", "End"})) return Fail("xdotool could not press End");
  if (!uitest::WaitUntil([&] { return pane.textCursor().atBlockEnd(); })) {
    return Fail("End did not reach the window");
  }
  const QImage after = PhotographWhen(base + ".png", showsThePane);
  if (before.isNull() || after.isNull()) return Fail("no screenshot");

  const QRect caret = pane.cursorRect();
  if (pane.textCursor().block() != line || !pane.textCursor().atBlockEnd() ||
      !pane.viewport()->rect().contains(caret)) {
    return Fail("the caret is not at the end of the line, in view");
  }
  if (pane.horizontalScrollBar()->isVisible()) return Fail("a horizontal scroll bar shows");
  // The screen shows the pane as it now draws itself, and not as it showed before End.
  const auto [stale, moved] = differing(after, before);
  if (stale != 0) return Fail("the screen does not show what the pane draws");
  if (moved == 0) return Fail("End changed nothing on the screen");
  return 0;
}

// Shrink the window to 30 x 30 from outside, as a window manager that ignores the minimum
// size may, and back: the photographs of the window before and after are the same.
int DeepShrink(CScanDlg& dlg, const QString& base) {
  const QImage before = Photograph(base + "-before.png");
  const QSize size = dlg.size();
  for (const QSize to : {QSize(30, 30), size}) {
    // Asked again until it holds: a window manager still answering the last request may
    // overrule this one, the more so on a loaded machine.
    int asked = 0;
    if (!uitest::WaitUntil([&] {
          if (dlg.size() == to) return true;
          if (asked++ % 200 == 0) {
            Xdotool({"windowsize", QString::number(dlg.winId()), QString::number(to.width()),
                     QString::number(to.height())});
          }
          return false;
        })) {
      return Fail("the window did not take its new size");
    }
    if (to != size) Photograph(base + "-small.png");
  }
  const QRect frame = Frame(dlg) & before.rect();
  const QImage after = PhotographWhen(
      base + ".png", [&](const QImage& shot) { return DifferingPixels(before, shot, frame) == 0; });
  if (before.isNull() || after.isNull()) return Fail("no screenshot");
  const long differing = DifferingPixels(before, after, frame);
  if (differing != 0) {
    std::fprintf(stderr, "window child: %ld pixels differ after the shrink\n", differing);
    return 1;
  }
  return 0;
}

// Cancel with Esc twice, 150 ms apart, as a hurried person does, and press Esc once more as
// the caption turns to Close: the window stays, and its report ends with the summary and
// what the cancel left unchecked.
int CancelledTwice(CScanDlg& dlg, const QString& base) {
  if (!uitest::WaitUntil([&] { return uitest::Log(dlg).find("\n[20/") != std::string::npos; })) {
    return Fail("the check did not get going");
  }
  if (!Xdotool({"key", "--delay", "150", "Escape", "Escape"})) return Fail("xdotool: no Esc");
  if (!uitest::WaitUntil([&] {
        return uitest::IsIdle(dlg) && uitest::Log(dlg).find("Cancelled: ") != std::string::npos;
      })) {
    return Fail("the check was not cancelled: " + uitest::Log(dlg).substr(0, 200));
  }
  if (!Xdotool({"key", "Escape"})) return Fail("xdotool: no Esc");
  QTest::qWait(300);
  if (!dlg.isVisible()) return Fail("an Esc right after the cancel closed the window");
  const std::string log = uitest::Log(dlg);
  const auto summary = log.rfind('\n', log.rfind('\n') - 1);
  const int begun = std::atoi(log.c_str() + summary + 1);
  const std::string tail = std::to_string(begun) +
                           " files, 0 errors\nCancelled: " + std::to_string(kManyFiles - begun) +
                           " of " + std::to_string(kManyFiles) + " files not checked";
  if (begun < 20 || log.substr(summary + 1) != tail)
    return Fail("the report ends: " + log.substr(summary + 1));
  if (Photograph(base + ".png").isNull()) return Fail("no screenshot");
  // Past the grace the close box closes the window again.
  QTest::qWait(int(CScanDlg::kCancelGraceMs));
  return 0;
}

// The line of a folder that cannot be read comes before the summary, and shows.
int Unreadable(CScanDlg& dlg, const QString& base, const std::string& locked) {
  const std::string log = uitest::Log(dlg);
  const std::string line = "\nNot checked: " + locked + " (Permission denied)\n1 files, 0 errors";
  if (!uitest::EndsWith(log, line)) return Fail("the report is: " + log);
  if (Photograph(base + ".png").isNull()) return Fail("no screenshot");
  return 0;
}

// On the screen, each line's first ink is at the pane's left, where its number is: a line
// laid out from the right would begin far into the pane.
int LeftToRight(CScanDlg& dlg, const QString& base) {
  const QImage shot = Photograph(base + ".png");
  if (shot.isNull()) return Fail("no screenshot");
  QPlainTextEdit& pane = *dlg.m_editLog;
  const QRgb paper = pane.palette().color(QPalette::Base).rgb();
  const int limit = pane.fontMetrics().averageCharWidth() * 3;
  const qreal ratio = dlg.devicePixelRatioF();
  int lines = 0;
  for (QTextBlock line = pane.document()->begin(); line.isValid(); line = line.next()) {
    const QRect band = pane.cursorRect(QTextCursor(line));
    const QPoint left = pane.viewport()->mapToGlobal(QPoint(0, band.center().y()));
    int first = -1;
    for (int x = 0; x < pane.viewport()->width() && first < 0; ++x) {
      for (int dy = -band.height() / 3; dy <= band.height() / 3 && first < 0; ++dy) {
        const QPoint at(int((left.x() + x) * ratio), int((left.y() + dy) * ratio));
        if (shot.rect().contains(at) && (shot.pixel(at) & 0xFFFFFF) != (paper & 0xFFFFFF))
          first = x;
      }
    }
    if (first < 0 || first > limit) {
      return Fail("a line begins " + std::to_string(first) +
                  " px into the pane: " + line.text().toStdString());
    }
    ++lines;
  }
  if (lines != 3) return Fail("not the three lines of the report");
  if (uitest::Log(dlg).find(kHebrewFolder) == std::string::npos) return Fail("no Hebrew name");
  return 0;
}

// The whole window, frame and all, lies in the screen's free area, and the photograph shows
// its far controls: Close and the report's scroll bar.
int InsideTheScreen(CScanDlg& dlg, const QString& base, const QProcess& wm) {
  // A loaded machine's window manager may frame and place the window late (once more than
  // ten seconds, with the package's lint beside it): wait for the frame, then for the
  // window to settle inside the free area, which a window manager does of its own accord
  // only for a window that fits. The limits are a last resort.
  if (!uitest::WaitUntil([&] { return Frame(dlg).top() < dlg.windowHandle()->geometry().top(); })) {
    // What the window manager says it did, for whoever reads the failure.
    QProcess xprop;
    xprop.start("xprop", {"-id", QString::number(dlg.winId()), "_NET_FRAME_EXTENTS", "WM_STATE"});
    xprop.waitForFinished(60000);
    return Fail("the window manager never framed the window (frame top " +
                std::to_string(Frame(dlg).top()) + ", window top " +
                std::to_string(dlg.windowHandle()->geometry().top()) + "; window manager " +
                (wm.state() == QProcess::Running ? "running" : "gone") + ")\n" +
                xprop.readAll().toStdString());
  }
  const QRect area = dlg.screen()->availableGeometry();
  uitest::WaitUntil([&] { return area.contains(Frame(dlg)); });
  const QImage shot = Photograph(base + ".png");
  if (shot.isNull()) return Fail("no screenshot");
  const QRect frame = Frame(dlg);
  if (!area.contains(frame)) {
    return Fail("the window " + std::to_string(frame.x()) + "," + std::to_string(frame.y()) + " " +
                std::to_string(frame.width()) + "x" + std::to_string(frame.height()) +
                " is not inside " + std::to_string(area.width()) + "x" +
                std::to_string(area.height()));
  }
  if (frame.top() >= dlg.windowHandle()->geometry().top())
    return Fail("no title bar: no window manager?");
  const qreal ratio = dlg.devicePixelRatioF();
  const auto device = [&](const QRect& r) {
    return QRect(QPoint(int(r.left() * ratio), int(r.top() * ratio)),
                 QSize(int(r.width() * ratio), int(r.height() * ratio)));
  };
  if (!shot.rect().contains(device(frame))) return Fail("the photograph cuts the window");
  if (!OnScreen(shot, device(frame))) return Fail("the window does not show");
  const QRect close(dlg.m_btnClose->mapToGlobal(QPoint(0, 0)), dlg.m_btnClose->size());
  const QScrollBar& bar = *dlg.m_editLog->verticalScrollBar();
  const QRect scroll(bar.mapToGlobal(QPoint(0, 0)), bar.size());
  if (!frame.contains(close) || !frame.contains(scroll) || !bar.isVisible()) {
    return Fail("Close or the scroll bar is cut off");
  }
  return 0;
}

// Held on a file from the seventh on, the window shows the lines checked so far, the file
// in hand with its progress, and Pause and Cancel: that photograph, cut to the window's
// frame, is the README's picture. It is written over the committed one when asked, and
// otherwise only has to be of the committed one's size: pixels differ with every font and
// theme; the layout does not.
int MidCheck(CScanDlg& dlg, const QString& base, CHold& hold) {
  const auto heldNumber = [&] {
    std::lock_guard lock(hold.mutex);
    return hold.reached ? hold.heldNumber : 0;
  };
  const auto inHand = [&] {
    return "\n[" + std::to_string(heldNumber()) + "/" + std::to_string(std::size(kAlbumFiles)) +
           "]\t";
  };
  if (!uitest::WaitUntil(
          [&] {
            return heldNumber() != 0 && uitest::Log(dlg).find(inHand()) != std::string::npos &&
                   dlg.m_progress->value() * 2 >= dlg.m_progress->maximum();
          },
          60000)) {
    return Fail("the check never reached its held file: " + uitest::Log(dlg));
  }
  QTest::qWait(500);  // let the last refresh paint
  const QImage shot = Photograph(base + ".png");
  const auto release = [&] {
    std::lock_guard lock(hold.mutex);
    hold.released = true;
    hold.changed.notify_all();
  };
  if (shot.isNull()) {
    release();
    return Fail("no screenshot");
  }
  const std::string captions = uitest::Captions(dlg);
  const std::string log = uitest::Log(dlg);
  const qreal ratio = dlg.devicePixelRatioF();
  const QRect frame = Frame(dlg);
  const QImage window =
      shot.copy(QRect(QPoint(int(frame.left() * ratio), int(frame.top() * ratio)),
                      QSize(int(frame.width() * ratio), int(frame.height() * ratio))));
  release();
  if (captions != "Pause/Cancel") return Fail("mid-check the buttons read " + captions);
  if (log.find("...ERROR (") == std::string::npos) return Fail("no damaged file shows: " + log);
  const QString docs = QString::fromUtf8(HARROWBIT_DOCS_PICTURE);
  if (qgetenv("HARROWBIT_UPDATE_DOCS") == "1") {
    if (!window.save(docs, "PNG")) return Fail("cannot write " + docs.toStdString());
    std::fprintf(stderr, "window child: wrote %s\n", qPrintable(docs));
  }
  const QImage committed(docs);
  if (committed.isNull()) return Fail("no picture at " + docs.toStdString());
  if (committed.size() != window.size()) {
    return Fail(
        "the committed picture is not the window's size; run HARROWBIT_UPDATE_DOCS=1 "
        "ctest -R MidCheck and commit " +
        docs.toStdString());
  }
  if (!uitest::WaitIdle(dlg)) return Fail("the check did not finish after the hold");
  return 0;
}

// On the X server: show the window on `folder`, play the scene, photograph the screen into
// `base`.png (and the steps before into `base`-*.png), then close the window the way its
// close box does.
int RunWindowChild(int argc, char** argv, Scene scene, const QString& base, const char* folder) {
  QApplication app(argc, argv);
  QProcess wm;
  if (kSetups[scene].windowManager && !StartWindowManager(wm)) return Fail("no window manager");
  if (scene == kLargeFont) {
    QFont large = QApplication::font();
    large.setPointSize(20);
    QApplication::setFont(large);
  }
  CScanDlg dlg;
  dlg.m_testerFactory = IsolatedTesterFactory();
  CHold hold;
  if (scene == kMidCheck) {
    dlg.m_testerFactory = [&hold, isolated = IsolatedTesterFactory()] {
      return std::make_unique<CHeldTester>(isolated(), hold);
    };
  }
  if (scene == kCancelled) dlg.m_testerFactory = [] { return std::make_unique<CSlowTester>(); };
  dlg.m_strCmdLine = folder;
  const std::filesystem::path locked = std::filesystem::path(folder) / "locked";
  if (scene == kUnreadable && ::geteuid() == 0) {
    // Permissions do not bind root: the window's thread, which collects, reads as nobody.
    ::setfsgid(65534);
    ::setfsuid(65534);
  }
  if (scene == kRightToLeft || scene == kMidCheck) {
    if (::chdir(folder) != 0) return Fail("no folder");
    dlg.m_strCmdLine = scene == kRightToLeft ? kHebrewFolder : "Music";
  }
  dlg.show();
  ::setfsuid(::geteuid());
  ::setfsgid(::getegid());
  if (!QTest::qWaitForWindowExposed(&dlg, 60000)) return Fail("the window never mapped");
  if (scene != kCancelled && scene != kMidCheck && !uitest::WaitIdle(dlg))
    return Fail("the scan did not finish");
  QTest::qWait(300);  // let the last refresh paint

  int status = 0;
  if (scene == kEndOfLongLine) status = EndOfLongLine(dlg, base);
  if (scene == kDeepShrink) status = DeepShrink(dlg, base);
  if (scene == kCancelled) status = CancelledTwice(dlg, base);
  if (scene == kUnreadable) status = Unreadable(dlg, base, locked.native());
  if (scene == kRightToLeft) status = LeftToRight(dlg, base);
  if (scene == kLargeFont || scene == kScaledTwice) status = InsideTheScreen(dlg, base, wm);
  if (scene == kMidCheck) status = MidCheck(dlg, base, hold);
  if (status != 0) return status;
  const QString png = base + ".png";
  const QImage shot = scene == kReport ? Photograph(png) : QImage(png);
  if (shot.isNull()) return Fail("no screenshot");
  const qreal ratio = dlg.devicePixelRatioF();
  const QRect frame = Frame(dlg);
  if (!OnScreen(shot, QRect(QPoint(int(frame.left() * ratio), int(frame.top() * ratio)),
                            QSize(int(frame.width() * ratio), int(frame.height() * ratio))))) {
    return Fail("the window is not on the screen");
  }

  dlg.windowHandle()->close();
  if (!uitest::WaitUntil([&] { return !dlg.isVisible(); })) return Fail("did not close");
  if (wm.state() != QProcess::NotRunning) {
    wm.terminate();
    wm.waitForFinished(60000);
  }
  return 0;
}

class Screenshot : public testing::TestWithParam<Scene> {};

TEST_P(Screenshot, OnARealDisplay) {
  if (QStandardPaths::findExecutable("Xvfb").isEmpty()) GTEST_SKIP() << "Xvfb is not installed";
  if (QStandardPaths::findExecutable("import").isEmpty()) GTEST_SKIP() << "import is missing";
  if (QStandardPaths::findExecutable("xdotool").isEmpty()) GTEST_SKIP() << "xdotool is missing";
  const SceneSetup& setup = kSetups[GetParam()];
  if (setup.windowManager && QStandardPaths::findExecutable("openbox").isEmpty()) {
    GTEST_SKIP() << "openbox is missing";
  }

  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const auto clean = testgen::MakeCase(testgen::Damage::kClean);
  const auto hole = testgen::MakeCase(testgen::Damage::kDropPage);
  switch (GetParam()) {
    case kCancelled:
      for (int i = 0; i < kManyFiles; ++i) dir.Write("many/" + std::to_string(i) + ".ogg");
      break;
    case kUnreadable:
      ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", clean));
      std::filesystem::create_directory(dir / "locked");
      ASSERT_TRUE(testgen::WriteBytes(dir / "locked/damaged.ogg", hole));
      ::chmod((dir / "locked").c_str(), 0);
      break;
    case kRightToLeft:
      std::filesystem::create_directory(dir / kHebrewFolder);
      ASSERT_TRUE(testgen::WriteBytes(dir / kHebrewFolder / "clean.ogg", clean));
      ASSERT_TRUE(testgen::WriteBytes(dir / kHebrewFolder / "hole.ogg", hole));
      break;
    case kMidCheck: {
      // Long enough that the damage has a position worth reading.
      const testgen::Tone song{1, 22050, 70.0, 440.0, -0.1f, 9};
      const auto dropped = testgen::MakeCase(testgen::Damage::kDropPage, song);
      const auto cut = testgen::MakeCase(testgen::Damage::kCutMidFile, song);
      for (const char* name : kAlbumFiles) {
        const std::filesystem::path path = dir / "Music" / name;
        std::filesystem::create_directories(path.parent_path());
        const bool damaged = IsDamagedAlbumFile(name);
        const auto& bytes = !damaged ? clean
                            : std::string_view(name).find("Harbour") != std::string_view::npos
                                ? dropped
                                : cut;
        ASSERT_TRUE(testgen::WriteBytes(path, bytes));
      }
      break;
    }
    default:
      ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", clean));
      ASSERT_TRUE(testgen::WriteBytes(dir / kLongName, hole));
  }
  const std::string folder =
      GetParam() == kCancelled ? (dir / "many").native() : dir.path().native();
  const QString base =
      QDir::current().absoluteFilePath(QString("ui_screenshot-%1").arg(setup.name));
  const QString png = base + ".png";
  QFile::remove(png);

  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "xcb");
  if (setup.scale != nullptr) env.insert("QT_SCALE_FACTOR", setup.scale);
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(HARROWBIT_OWN_X_DISPLAY,
              {QString("%1x24").arg(setup.screen), QCoreApplication::applicationFilePath(),
               kChildFlag, QString::number(GetParam()), base, QString::fromStdString(folder)});
  ASSERT_TRUE(child.waitForFinished(600000)) << "the window's process did not end";
  ::chmod((dir / "locked").c_str(), 0700);
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
  EXPECT_TRUE(QFile::exists(png));
}

std::string SceneName(const testing::TestParamInfo<Scene>& info) {
  const char* const names[] = {"TheWindowShowsTheReportAndCloses",
                               "EndShowsTheEndOfALongLine",
                               "ADeepShrinkLeavesTheLayoutAsItWas",
                               "ACancelSaysWhatItLeftAndASecondEscKeepsTheWindow",
                               "AFolderThatCannotBeReadIsNamedBeforeTheSummary",
                               "ALineWithARightToLeftNameIsLaidOutLeftToRight",
                               "ATwentyPointFontOpensInsideTheScreen",
                               "ScaledTwiceTheWholeWindowOpensOnTheScreen",
                               "MidCheckItShowsTheReadmesPicture"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Scenes, Screenshot,
                         testing::Values(kReport, kEndOfLongLine, kDeepShrink, kCancelled,
                                         kUnreadable, kRightToLeft, kLargeFont, kScaledTwice,
                                         kMidCheck),
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
