// The log pane as people use it: a caret that reaches the end of any line without a
// horizontal scroll bar, text that cannot be changed, and refreshes that still show the
// last line.

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QWheelEvent>
#include <filesystem>

#include "tests/support/temp_dir.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

// A report line with its verdict far beyond the right edge, among short ones.
const std::string kLongLine =
    "[2/3]\t/music/" + std::string(200, 'x') + ".ogg...ERROR (OV_HOLE @ 0m 01s)";
const std::string kReport = "[1/3]\t/music/a.ogg...OK\r\n" + kLongLine +
                            "\r\n[3/3]\t/music/b.ogg...OK\r\n3 files, 1 errors";

using LogPane = WindowTest;
using Keys = std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>>;

// The window showing kReport, with the caret at the start of the pane, which has the focus.
QPlainTextEdit& ShowReport(CScanDlg& w) {
  w.SetLogText(kReport);
  EXPECT_TRUE(WaitUntil([&] { return EndsWith(Log(w), "3 files, 1 errors"); })) << Log(w);
  QPlainTextEdit& pane = *w.m_editLog;
  QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
  return pane;
}

bool CaretInView(const QPlainTextEdit& pane) {
  return pane.viewport()->rect().contains(pane.cursorRect());
}

TEST_F(LogPane, KeysMoveAVisibleCaretThatScrollsSidewaysToTheEndOfALongLine) {
  struct Case {
    const char* name;
    Keys keys;
    int block;
    int column;  // -1: the end of the line
    bool scrolled;
  };
  const Qt::KeyboardModifiers none;
  const Case cases[] = {
      {"Down then End", {{Qt::Key_Down, none}, {Qt::Key_End, none}}, 1, -1, true},
      {"End then Home",
       {{Qt::Key_Down, none}, {Qt::Key_End, none}, {Qt::Key_Home, none}},
       1,
       0,
       false},
      {"Right to the verdict", Keys(kLongLine.size() + 24, {Qt::Key_Right, none}), 1, -1, true},
      {"Ctrl+End", {{Qt::Key_End, Qt::ControlModifier}}, 3, -1, false},
      {"Page Down", {{Qt::Key_PageDown, none}}, 3, 0, false},
      {"End then Up",
       {{Qt::Key_Down, none}, {Qt::Key_End, none}, {Qt::Key_Up, none}},
       0,
       -1,
       false},
  };
  CScanDlg& w = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QPlainTextEdit& pane = ShowReport(w);
    for (const auto& [key, modifiers] : c.keys) QTest::keyClick(&pane, key, modifiers);
    const QTextCursor caret = pane.textCursor();
    EXPECT_EQ(caret.blockNumber(), c.block);
    EXPECT_EQ(caret.positionInBlock(), c.column < 0 ? caret.block().length() - 1 : c.column);
    EXPECT_TRUE(CaretInView(pane)) << pane.horizontalScrollBar()->value();
    EXPECT_EQ(pane.horizontalScrollBar()->value() > 0, c.scrolled);
    EXPECT_FALSE(pane.horizontalScrollBar()->isVisible());
  }
}

TEST_F(LogPane, ShiftWithTheWheelScrollsSidewaysAndTheWheelAloneDownwards) {
  CScanDlg& w = Open();
  QPlainTextEdit& pane = ShowReport(w);
  pane.resize(pane.width(), pane.fontMetrics().height() * 2);  // something to scroll down to
  QScrollBar& across = *pane.horizontalScrollBar();
  QScrollBar& down = *pane.verticalScrollBar();
  const auto wheel = [&](Qt::KeyboardModifiers modifiers, int notches) {
    const QPointF at(10, 10);
    QWheelEvent e(at, pane.viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                  Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(pane.viewport(), &e);
  };
  wheel(Qt::ShiftModifier, 1);
  EXPECT_GT(across.value(), 0);
  EXPECT_EQ(down.value(), 0);
  wheel(Qt::ShiftModifier, -1);
  EXPECT_EQ(across.value(), 0);
  wheel(Qt::NoModifier, 1);
  EXPECT_EQ(across.value(), 0);
  EXPECT_GT(down.value(), 0);
}

TEST_F(LogPane, NothingTypedChangesTheReportAndCopiesHaveLinuxLineEnds) {
  CScanDlg& w = Open();
  QPlainTextEdit& pane = ShowReport(w);
  const QString before = pane.toPlainText();
  QApplication::clipboard()->setText("pasted");
  QTest::keyClicks(&pane, "typed");
  for (const auto& [key, modifiers] : Keys{{Qt::Key_Return, {}},
                                           {Qt::Key_Delete, {}},
                                           {Qt::Key_V, Qt::ControlModifier},
                                           {Qt::Key_A, Qt::ControlModifier},
                                           {Qt::Key_Backspace, {}},
                                           {Qt::Key_X, Qt::ControlModifier},
                                           {Qt::Key_Z, Qt::ControlModifier}}) {
    QTest::keyClick(&pane, key, modifiers);
  }
  EXPECT_EQ(pane.toPlainText(), before);
  // Everything is still selected: the clipboard has the report with "\n" line ends, as
  // Linux programs write and expect them.
  QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
  QString expected = QString::fromStdString(kReport);
  expected.replace("\r\n", "\n");
  EXPECT_EQ(QApplication::clipboard()->text(), expected);
}

TEST_F(LogPane, ARefreshStillShowsTheLastLineWhereverTheCaretIs) {
  CScanDlg& w = Open();
  QPlainTextEdit& pane = ShowReport(w);
  pane.resize(pane.width(), pane.fontMetrics().height() * 3);
  QTest::keyClick(&pane, Qt::Key_Down);
  QTest::keyClick(&pane, Qt::Key_End);
  const int across = pane.horizontalScrollBar()->value();
  std::string report = kReport;
  for (int i = 0; i < 5; ++i) {
    report += "\r\nline " + std::to_string(i);
    w.SetLogText(report);
    ASSERT_TRUE(WaitUntil([&] { return EndsWith(Log(w), "line " + std::to_string(i)); }));
    QScrollBar& down = *pane.verticalScrollBar();
    EXPECT_EQ(down.value(), down.maximum()) << i;
  }
  // The caret stays where the user put it, and so does the sideways view.
  EXPECT_EQ(pane.textCursor().blockNumber(), 1);
  EXPECT_EQ(pane.horizontalScrollBar()->value(), across);
}

// Started on a relative folder with a Hebrew name, each line still begins at the left with
// its number and ends at the right with its verdict; so after a second report replaced the
// first.
TEST_F(LogPane, EveryLineIsLaidOutLeftToRightWhateverItHolds) {
  TempDir dir;
  dir.Write("\u05E9\u05D9\u05E8\u05D9\u05DD/a.ogg");
  dir.Write("\u05E9\u05D9\u05E8\u05D9\u05DD/b.ogg");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  CScanDlg& w = Open("\u05E9\u05D9\u05E8\u05D9\u05DD");
  const bool first = WaitIdle(w);
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(first);
  for (int report = 0; report < 2; ++report) {
    SCOPED_TRACE(report);
    QPlainTextEdit& pane = *w.m_editLog;
    ASSERT_EQ(pane.document()->blockCount(), 3);
    for (QTextBlock line = pane.document()->begin(); line.isValid(); line = line.next()) {
      SCOPED_TRACE(line.text().toStdString());
      QTextCursor start(line);
      QTextCursor end(line);
      end.movePosition(QTextCursor::EndOfBlock);
      // A line laid out from the right would begin at the pane's right edge.
      EXPECT_LT(pane.cursorRect(start).left(), pane.fontMetrics().averageCharWidth() * 2);
      EXPECT_GT(pane.cursorRect(end).left(), pane.cursorRect(start).left());
    }
    // The second report, from Start, replaces the first in the same pane.
    w.m_editPath->setText(QString::fromUtf8("\u05E9\u05D9\u05E8\u05D9\u05DD"));
    w.m_editLog->clear();  // so that the wait below sees the new report
    std::filesystem::current_path(dir.path());
    w.OnOK();
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(WaitReport(w, "...OK\n2 files, 0 errors"));
  }
}

}  // namespace
