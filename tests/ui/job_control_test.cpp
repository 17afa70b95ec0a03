// Start, Pause, Continue, Cancel and Close from the buttons and the keyboard, and the
// moments around a worker's start and end.

#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

class JobControl : public WindowTest {
 protected:
  // A window whose path field names a folder of `count` files: a.ogg, b.ogg, ...
  CScanDlg& OpenOnFolder(int count) {
    for (int i = 0; i < count; ++i) folder.Write(std::string(1, char('a' + i)) + ".ogg");
    CScanDlg& w = Open();
    w.m_editPath->setText(QString::fromStdString(folder.path().native()));
    return w;
  }
  std::string Line(int index, const char* verdict) {
    return "[" + std::to_string(index + 1) + "/" + std::to_string(dlg->m_state.m_fileList.Count()) +
           "]\t" + dlg->m_state.m_fileList.Take(static_cast<std::size_t>(index))->path.native() +
           "..." + verdict;
  }
  // Lets the held worker take one step, and holds it again before the next.
  void OneStep() {
    const int before = decoder.steps;
    decoder.Release();
    ASSERT_TRUE(WaitUntil([&] { return decoder.steps == before + 1; }));
  }

  TempDir folder;
};

TEST_F(JobControl, StartNeedsAFolderButNotFiles) {
  CScanDlg& w = Open();
  w.OnOK();
  QCoreApplication::processEvents();
  EXPECT_FALSE(w.m_state.IsRunning());
  EXPECT_EQ(decoder.created.load(), 0);
  EXPECT_EQ(Captions(w), "Start/Close");

  folder.Write("notes.txt");
  w.m_editPath->setText(QString::fromStdString(folder.path().native()));
  w.OnOK();
  // Not "0 files, 0 errors", which reads as a pass: why nothing was checked.
  ASSERT_TRUE(WaitUntil([&] { return IsIdle(w) && !Log(w).empty(); }));
  EXPECT_EQ(Log(w), "Not checked: " + folder.path().native() +
                        " (no file in it has a name ending in \".ogg\")");
  EXPECT_EQ(decoder.created.load(), 0);
}

TEST_F(JobControl, EnterPausesAndTheButtonContinues) {
  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& w = OpenOnFolder(2);
  w.m_btnStart->click();
  ASSERT_TRUE(decoder.WaitHeld());
  ASSERT_TRUE(WaitUntil([&] { return Captions(w) == "Pause/Cancel" && Log(w) == Line(0, ""); }));
  EXPECT_EQ(w.m_progress->maximum(), 3 * 1024);

  QTest::keyClick(w.m_btnStart, Qt::Key_Return);
  EXPECT_EQ(Captions(w), "Continue/Cancel");
  OneStep();
  decoder.Hold(FakeDecoder::kStep);
  QTest::qWait(100);
  EXPECT_EQ(decoder.steps.load(), 1) << "the worker went on while paused";
  ASSERT_TRUE(WaitUntil([&] { return w.m_progress->value() == 1024; }));

  w.m_btnStart->click();
  EXPECT_EQ(Captions(w), "Pause/Cancel");
  decoder.Release();
  ASSERT_TRUE(WaitIdle(w));
  EXPECT_EQ(Log(w), Line(0, "OK") + "\n" + Line(1, "OK") + "\n2 files, 0 errors");
  EXPECT_EQ(w.m_editLog->document()->blockCount(), 3);
  EXPECT_EQ(w.m_progress->value(), 0);
}

TEST_F(JobControl, CancelWhilePausedStillWritesTheSummary) {
  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& w = OpenOnFolder(2);
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  w.OnOK();
  OneStep();
  // Cancel wakes the worker before it clears the flag: a step may slip through, no more.
  decoder.Hold(FakeDecoder::kStep);
  w.OnCancel();
  decoder.Release();
  ASSERT_TRUE(WaitIdle(w));
  EXPECT_EQ(Log(w), Line(0, "") + "\n1 files, 0 errors\nCancelled: 1 of 2 files not checked");
  EXPECT_TRUE(w.isVisible());
}

// Each way of asking to close cancels a running scan and keeps the window; the same way
// when idle closes it, but not within a second of the cancelled scan's end, when it is
// most likely the second half of a double press.
TEST_F(JobControl, CloseRequestsCancelAScanAndCloseOnlyWhenIdle) {
  const std::pair<const char*, void (*)(CScanDlg&)> requests[] = {
      {"Close button", [](CScanDlg& w) { w.m_btnClose->click(); }},
      {"Esc", [](CScanDlg& w) { QTest::keyClick(w.m_btnStart, Qt::Key_Escape); }},
      {"close box", [](CScanDlg& w) { w.close(); }},
  };
  for (const auto& [name, request] : requests) {
    SCOPED_TRACE(name);
    decoder.Hold(FakeDecoder::kStep);
    CScanDlg& w = OpenOnFolder(2);
    // The grace's time is the test's to move: a loaded machine may see the scan's end late.
    auto now = CScanController::Clock::now();
    w.m_controller.m_clock = [&now] { return now; };
    w.OnOK();
    ASSERT_TRUE(decoder.WaitHeld());
    request(w);
    request(w);  // a double press, while the scan is still going
    decoder.Release();
    ASSERT_TRUE(WaitIdle(w));
    request(w);  // as the caption turns to Close
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(EndsWith(Log(w), "\n1 files, 0 errors\nCancelled: 1 of 2 files not checked"))
        << Log(w);
    now += std::chrono::milliseconds(CScanDlg::kCancelGraceMs - 200);
    request(w);
    EXPECT_TRUE(w.isVisible()) << "closed before the grace was over";
    now += std::chrono::milliseconds(250);
    request(w);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.result(), QDialog::Rejected);
  }
}

// The grace is for the end of a cancelled scan only: after a scan that ran to its end, or
// a new scan begun in the grace, Close closes at once.
TEST_F(JobControl, AScanThatWasNotCancelledClosesAtOnce) {
  CScanDlg& w = OpenOnFolder(1);
  w.OnOK();
  ASSERT_TRUE(WaitIdle(w));
  w.OnCancel();
  EXPECT_FALSE(w.isVisible());

  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& again = Open();
  again.m_editPath->setText(QString::fromStdString(folder.path().native()));
  again.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  again.OnCancel();
  decoder.Release();
  ASSERT_TRUE(WaitReport(again, "Cancelled: 0 of 1 files not checked"));
  again.OnOK();  // a new scan in the grace, which runs to its end
  ASSERT_TRUE(WaitReport(again, "\n1 files, 0 errors"));
  again.OnCancel();
  EXPECT_FALSE(again.isVisible());
}

TEST_F(JobControl, APauseAfterTheLastPausePointMakesTheNextScanStartPaused) {
  folder.Write("unopenable.ogg");  // no decoding, so no wait on the run event
  decoder.Hold(FakeDecoder::kOpen);
  CScanDlg& w = OpenOnFolder(0);
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  w.OnOK();
  decoder.Release();
  ASSERT_TRUE(WaitIdle(w));
  EXPECT_EQ(Log(w), Line(0, "ERROR (OPENFILE)") + "\n1 files, 1 errors [1]");

  std::filesystem::remove(folder / "unopenable.ogg");
  folder.Write("a.ogg");
  w.OnOK();
  ASSERT_TRUE(WaitUntil([&] { return Captions(w) == "Continue/Cancel" && decoder.steps == 1; }));
  QTest::qWait(50);
  EXPECT_EQ(decoder.steps.load(), 1);
  w.OnOK();
  EXPECT_TRUE(WaitReport(w, Line(0, "OK") + "\n1 files, 0 errors")) << Log(w);
}

// Between the press and the worker's first act the window already counts as busy.
TEST_F(JobControl, NothingInTheStartGapBeginsASecondWorker) {
  const std::pair<const char*, void (*)(CScanDlg&, const TempDir&)> seconds[] = {
      {"Start again", [](CScanDlg& w, const TempDir&) { w.OnOK(); }},
      {"drop",
       [](CScanDlg& w, const TempDir& f) {
         QMimeData drop;
         drop.setUrls({QUrl::fromLocalFile(QString::fromStdString((f / "a.ogg").native()))});
         w.OnDropFiles(drop);
       }},
  };
  for (const auto& [name, second] : seconds) {
    SCOPED_TRACE(name);
    decoder.created = 0;
    decoder.Hold(FakeDecoder::kOpen);
    CScanDlg& w = OpenOnFolder(2);
    w.OnOK();
    second(w, folder);
    decoder.Release();
    if (w.m_state.IsPaused()) w.OnOK();  // "Start again" paused the scan
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(decoder.created.load(), 1);
    EXPECT_EQ(decoder.maxLive.load(), 1);
  }
}

// The worker's last updates come after it has cleared m_bRunning: the window may close,
// or start anew, right then.
TEST_F(JobControl, ClosingAsAScanEndsNeverCrashesOrHangs) {
  for (int round = 0; round < 300; ++round) {
    CScanDlg& w = OpenOnFolder(round == 0 ? 2 : 0);
    w.OnOK();
    while (w.m_state.IsRunning()) std::this_thread::yield();
    if (round % 3 == 1) QCoreApplication::processEvents();
    w.OnCancel();
    ASSERT_FALSE(w.isVisible()) << "round " << round;
    dlg.reset();
  }
}

TEST_F(JobControl, AWorkerLingeringPastItsEndDelaysNothingForLong) {
  const auto releaseSoon = [&] {
    return std::thread([&] {
      // Not a wait: the release most often comes while the main thread waits for the held
      // worker, or, on a loaded machine, before; the outcome is the same either way.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      decoder.Release();
    });
  };
  decoder.Hold(FakeDecoder::kDestroy);
  CScanDlg& w = OpenOnFolder(1);
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  ASSERT_FALSE(w.m_state.IsRunning());
  std::thread release = releaseSoon();
  w.OnOK();  // a new scan waits only for the last one's final, non-blocking steps
  release.join();
  ASSERT_TRUE(WaitUntil([&] { return decoder.created == 2 && decoder.live == 0 && IsIdle(w); }));
  EXPECT_EQ(decoder.maxLive.load(), 1);

  decoder.Hold(FakeDecoder::kDestroy);
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  w.OnCancel();
  EXPECT_FALSE(w.isVisible());
  release = releaseSoon();
  dlg.reset();
  release.join();
}

// A drop joins the running scan up to the worker's last look at the list, and once that
// look has ended the scan it begins a new one, as on an idle window: nothing dropped at
// the very end is left in the list unchecked.
TEST_F(JobControl, ADropAtTheVeryEndJoinsTheScanOrBeginsTheNext) {
  struct Case {
    const char* name;
    FakeDecoder::Point heldAt;  // the worker's position as the drop lands
    std::string report;         // after the first line
  };
  folder.Write("dropped.ogg");
  const std::string dropped = (folder / "dropped.ogg").native();
  const Case cases[] = {
      {"in the last step of the last file: the drop joins", FakeDecoder::kStep,
       "\n[2/2]\t" + dropped + "...OK\n2 files, 0 errors"},
      {"past the last look: a new scan of the drop alone", FakeDecoder::kDestroy,
       "[1/1]\t" + dropped + "...OK\n1 files, 0 errors"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir one;
    one.Write("a.ogg");
    CScanDlg& w = Open();
    w.m_editPath->setText(QString::fromStdString(one.path().native()));
    decoder.Hold(c.heldAt);
    w.OnOK();
    ASSERT_TRUE(decoder.WaitHeld());
    QMimeData drop;
    drop.setUrls({QUrl::fromLocalFile(QString::fromStdString(dropped))});
    // A new scan waits for the last one's worker, held here: let it go soon (not a wait:
    // a release before the drop lands gives the same outcome).
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      decoder.Release();
    });
    w.OnDropFiles(drop);
    release.join();
    EXPECT_TRUE(WaitReport(w, c.report)) << Log(w);
    EXPECT_EQ(w.m_state.m_fileList.Count(), c.heldAt == FakeDecoder::kStep ? 2u : 1u);
  }
}

TEST_F(JobControl, AWindowTornDownMidScanLetsItsPausedWorkerGo) {
  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& w = OpenOnFolder(3);
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());
  w.OnOK();
  OneStep();
  decoder.Release();
  dlg.reset();
  EXPECT_EQ(decoder.live.load(), 0);
}

}  // namespace
