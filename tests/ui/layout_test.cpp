// The template in pixels, how the window opens, and how its controls follow the edges.

#include <QAccessible>
#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QTest>
#include <map>

#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

TEST(DialogUnits, ScaleLikeTheWindowsDialogManager) {
  // The average of the 52 letters' extent is rounded, not cut.
  for (const auto& [extent, average] : {std::pair{311, 6}, {285, 5}, {286, 6}, {363, 7}}) {
    EXPECT_EQ(AverageCharWidth(extent), average) << extent;
  }
  // Halves round away from zero; the product may pass 2^31 on the way.
  struct Div {
    int a, b, c, result;
  };
  for (const Div& d : {Div{7, 6, 4, 11}, Div{-5, 1, 2, -3}, Div{5, -1, 2, -3},
                       Div{100000, 30000, 1000, 3000000}, Div{1, 1, 0, -1}}) {
    EXPECT_EQ(MulDiv(d.a, d.b, d.c), d.result) << d.a << "*" << d.b << "/" << d.c;
  }
  // MS Sans Serif 8 at 96 dpi has base units 6 x 13: the client area and the Close button
  // come out as on Windows.
  EXPECT_EQ(DluToPixels(kDialogRect, {6, 13}), (DlgRect{0, 0, 600, 405}));
  EXPECT_EQ(DluToPixels(kControls[1].rect, {6, 13}), (DlgRect{515, 372, 75, 21}));
}

using Layout = WindowTest;

std::map<int, QRect> ControlRects(const CScanDlg& w) {
  std::map<int, QRect> rects;
  for (const ControlTemplate& t : kControls) rects[t.id] = w.GetDlgItem(t.id)->geometry();
  return rects;
}

TEST_F(Layout, OpensIdleAndCentredWithTheFocusOnStart) {
  CScanDlg& w = Open();
  EXPECT_EQ(w.windowTitle(), "Harrowbit");
  EXPECT_EQ(Captions(w), "Start/Close");
  EXPECT_TRUE(w.m_editPath->text().isEmpty() && Log(w).empty());
  EXPECT_EQ(w.m_progress->value(), 0);
  EXPECT_EQ(w.focusWidget(), w.m_btnStart);
  EXPECT_TRUE(w.windowFlags().testFlags(Qt::WindowMinMaxButtonsHint));
  const QPoint offCentre = w.frameGeometry().center() - w.screen()->availableGeometry().center();
  EXPECT_LE(offCentre.manhattanLength(), 2);
  // Tab stops every 40 dialog units: ten average characters.
  const int extent = QFontMetrics(w.font()).horizontalAdvance(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(w.m_editLog->tabStopDistance(), 10 * AverageCharWidth(extent));
}

TEST_F(Layout, ControlsFollowTheEdgesTheyAreAnchoredTo) {
  // Which edges move: left and right with the width, top and bottom with the height.
  struct Follow {
    int left, top, right, bottom;
  };
  const std::map<int, Follow> follows = {
      {IDC_PATH, {0, 0, 1, 0}},     {IDC_BROWSE, {1, 0, 1, 0}}, {IDC_LOG, {0, 0, 1, 1}},
      {IDC_PROGRESS, {0, 1, 1, 1}}, {IDOK, {1, 1, 1, 1}},       {IDCANCEL, {1, 1, 1, 1}},
  };
  CScanDlg& w = Open();
  const QSize start = w.size();
  const std::map<int, QRect> before = ControlRects(w);
  const auto resizeTo = [&](QSize size) {
    w.resize(size);
    return WaitUntil([&] { return w.size() == size; });
  };
  for (const QSize grow : {QSize(100, 0), QSize(0, 50), QSize(100, 50), QSize(-60, -40)}) {
    SCOPED_TRACE(testing::Message() << "grow " << grow.width() << "x" << grow.height());
    ASSERT_TRUE(resizeTo(start + grow));
    for (const auto& [id, f] : follows) {
      const QRect b = before.at(id);
      EXPECT_EQ(
          w.GetDlgItem(id)->geometry(),
          QRect(QPoint(b.left() + f.left * grow.width(), b.top() + f.top * grow.height()),
                QPoint(b.right() + f.right * grow.width(), b.bottom() + f.bottom * grow.height())))
          << id;
    }
    ASSERT_TRUE(resizeTo(start));
    EXPECT_EQ(ControlRects(w), before);
  }
}

TEST_F(Layout, MaximiseOrMinimiseThenRestoreReturnsEveryControlExactly) {
  CScanDlg& w = Open();
  const QSize start = w.size();
  const std::map<int, QRect> before = ControlRects(w);
  w.showMaximized();
  ASSERT_TRUE(WaitUntil([&] { return w.isMaximized() && w.size() != start; }));
  EXPECT_NE(ControlRects(w), before);
  w.showNormal();
  ASSERT_TRUE(WaitUntil([&] { return !w.isMaximized() && w.size() == start; }));
  EXPECT_EQ(ControlRects(w), before);

  w.showMinimized();
  ASSERT_TRUE(WaitUntil([&] { return w.isMinimized(); }));
  w.showNormal();
  ASSERT_TRUE(WaitUntil([&] { return !w.isMinimized(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(ControlRects(w), before);
}

TEST_F(Layout, AnySequenceOfResizesEvenPastZeroReturnsTheSameLayout) {
  // Window managers that ignore the minimum size (tiling ones), or a large font, can take
  // the window below the size at which its controls vanish.
  const std::vector<std::pair<const char*, std::vector<QSize>>> sequences = {
      {"to 30x30", {{30, 30}}},
      {"narrow, then short", {{30, 400}, {400, 30}}},
      {"to 30x30, then huge", {{30, 30}, {2000, 1500}}},
      {"to 1x1, then half", {{1, 1}, {300, 200}}},
  };
  CScanDlg& w = Open();
  w.setMinimumSize(0, 0);
  const QSize start = w.size();
  const std::map<int, QRect> before = ControlRects(w);
  for (const auto& [name, sizes] : sequences) {
    SCOPED_TRACE(name);
    for (const QSize size : sizes) {
      w.resize(size);
      ASSERT_TRUE(WaitUntil([&] { return w.size() == size; }));
    }
    w.resize(start);
    ASSERT_TRUE(WaitUntil([&] { return w.size() == start; }));
    EXPECT_EQ(ControlRects(w), before);
  }
}

TEST_F(Layout, StopsAtTheMinimumSizeFrameIncluded) {
  CScanDlg& w = Open();
  w.resize(100, 100);
  EXPECT_TRUE(WaitUntil([&] { return w.frameGeometry().size() == QSize(320, 240); }))
      << w.frameGeometry().width() << "x" << w.frameGeometry().height();
}

// A large font makes the template wider and taller than a small screen: the window opens
// inside the screen's available area all the same, every control within it.
TEST_F(Layout, ALargeFontStillOpensInsideTheScreen) {
  const QFont before = QApplication::font();
  QFont large = before;
  large.setPointSize(20);
  QApplication::setFont(large);
  CScanDlg& w = Open();
  QApplication::setFont(before);
  const QRect area = w.screen()->availableGeometry();
  const QFontMetrics metrics(large);
  const BaseUnits units{AverageCharWidth(metrics.horizontalAdvance(
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                        metrics.height()};
  ASSERT_GT(DluToPixels(kDialogRect, units).cx, area.width()) << "the font is not large enough";
  EXPECT_TRUE(area.contains(w.frameGeometry()))
      << w.frameGeometry().width() << "x" << w.frameGeometry().height();
  for (const ControlTemplate& t : kControls) {
    EXPECT_TRUE(w.rect().contains(w.GetDlgItem(t.id)->geometry())) << t.id;
  }
  // Close keeps its margin to the right edge (7 dialog units, give or take the rounding),
  // as after any other shrink.
  EXPECT_NEAR(w.width() - 1 - w.m_btnClose->geometry().right(), DluToPixelsX(7, units), 1);
}

// What a screen reader finds in the window's accessibility tree, by role.
TEST_F(Layout, EveryControlHasANameInTheAccessibilityTree) {
  CScanDlg& w = Open();
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
  ASSERT_NE(window, nullptr);
  std::map<QAccessible::Role, std::vector<std::pair<std::string, std::string>>> found;
  for (int i = 0; i < window->childCount(); ++i) {
    QAccessibleInterface* child = window->child(i);
    found[child->role()].push_back({child->text(QAccessible::Name).toStdString(),
                                    child->text(QAccessible::Description).toStdString()});
  }
  using Named = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(found[QAccessible::EditableText],
            (Named{{"Folder to check", ""},
                   {"Report", "A line for each file checked, then the summary. F6 moves here."}}));
  EXPECT_EQ(found[QAccessible::ProgressBar],
            (Named{{"Progress", "How much of the file being checked has been decoded"}}));
  EXPECT_EQ(found[QAccessible::PushButton], (Named{{"Start", ""}, {"Close", ""}, {"Browse", ""}}));
}

// Tab keeps to the template's stops; F6 reaches the report from anywhere, and Tab leaves it.
TEST_F(Layout, TabKeepsTheTemplatesStopsAndF6ReachesTheReport) {
  CScanDlg& w = Open();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const auto press = [&](Qt::Key key) {
    QTest::keyClick(QApplication::focusWidget(), key);
    return QApplication::focusWidget();
  };
  ASSERT_EQ(QApplication::focusWidget(), w.m_btnStart);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnClose);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnBrowse);
  EXPECT_EQ(press(Qt::Key_F6), w.m_editLog);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnStart);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnClose);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnBrowse);
  EXPECT_EQ(press(Qt::Key_Tab), w.m_btnStart);
  // From the path field too, which a click reaches.
  w.m_editPath->setFocus(Qt::MouseFocusReason);
  EXPECT_EQ(press(Qt::Key_F6), w.m_editLog);
}

}  // namespace
