// The scan worker against scripted files: the report byte for byte, progress, pause,
// cancel and entries appended while it runs.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/path_bytes.h"
#include "scan/scan_report.h"
#include "scan/scan_worker.h"
#include "tests/support/fake_window.h"
#include "tests/support/scripted_tester.h"
#include "tests/support/wait.h"

using testsupport::CRecordingWindow;
using testsupport::CScriptedTester;
using testsupport::Fails;
using testsupport::Script;
using testsupport::WaitFor;
using testsupport::WontOpen;

namespace {

// What a front end other than the window hears.
struct Heard final : IScanListener {
  void OnFileEnded(const FileResult& r) override {
    files.push_back(
        {r.number, PathToUtf8(r.path), r.verdict.status, r.verdict.reason, std::string(r.line)});
  }
  void OnScanEnded(const ScanSummary& s) override {
    summary = std::string(s.line) + " listed " + std::to_string(s.listed);
  }
  struct File {
    int number;
    std::string path;
    FileVerdict::Status status;
    std::string reason;
    std::string line;
    bool operator==(const File&) const = default;
  };
  std::vector<File> files;
  std::string summary;
};

struct Scan {
  CScanState state;
  CRecordingWindow window{state};
  Heard heard;
  std::map<std::string, Script> files;
  std::function<void(const std::string&, int)> onStep;

  void Add(const std::string& path, Script s = {}) {
    files[path] = std::move(s);
    state.m_fileList.Append(path);
  }
  TesterFactory Factory() {
    return [this] { return std::make_unique<CScriptedTester>(files, onStep); };
  }
  std::string Run() {
    state.PrepareStart();
    ScanThreadProc(state, window, Factory(), &heard);
    return window.Last();
  }
  std::unique_ptr<testsupport::CBoundedThread> RunInThread() {
    state.PrepareStart();
    return std::make_unique<testsupport::CBoundedThread>(
        [this] { ScanThreadProc(state, window, Factory(), &heard); });
  }
};

}  // namespace

TEST(Report, EmptyListIsOnlyTheSummary) {
  Scan scan;
  EXPECT_FALSE(scan.state.IsRunning()) << "a new state is idle";
  EXPECT_EQ(scan.Run(), "0 files, 0 errors");
  EXPECT_EQ(scan.window.texts.front(), "");
  EXPECT_EQ(scan.window.buttonsRunning, (std::vector<bool>{true, false}));
}

TEST(Report, OneCleanFileKeepsThePluralWord) {
  Scan scan;
  scan.Add("/m/a.ogg");
  EXPECT_EQ(scan.Run(), "[1/1]\t/m/a.ogg...OK\r\n1 files, 0 errors");
}

TEST(Report, MixedListByteForByte) {
  Scan scan;
  scan.Add("/m/a.ogg");
  scan.Add("/m/b.ogg", Fails("OV_HOLE @ 1m 05s"));
  scan.Add("/m/c.ogg", WontOpen("OPENFILE"));
  scan.Add("/m/d.ogg", Fails("", {1024, -999}));  // a code without a name
  scan.Add("/m/e.ogg", WontOpen("OV_ENOTVORBIS"));
  EXPECT_EQ(scan.Run(),
            "[1/5]\t/m/a.ogg...OK\r\n"
            "[2/5]\t/m/b.ogg...ERROR (OV_HOLE @ 1m 05s)\r\n"
            "[3/5]\t/m/c.ogg...ERROR (OPENFILE)\r\n"
            "[4/5]\t/m/d.ogg...ERROR ()\r\n"
            "[5/5]\t/m/e.ogg...ERROR (OV_ENOTVORBIS)\r\n"
            "5 files, 4 errors [2,3,4,5]");
}

TEST(Report, PathsThatAreNotUtf8ShowReplacementCharacters) {
  Scan scan;
  scan.Add("/m/bad\xFF.ogg");
  EXPECT_EQ(scan.Run(), "[1/1]\t/m/bad\xEF\xBF\xBD.ogg...OK\r\n1 files, 0 errors");
}

TEST(Report, RefreshedAfterOpenAfterDecodingAndAtTheEndOnly) {
  Scan scan;
  scan.Add("/a.ogg");
  scan.Add("/b.ogg", WontOpen("OPENFILE"));  // shows only with the summary
  scan.Run();
  EXPECT_EQ(scan.window.texts,
            (std::vector<std::string>{"", "[1/2]\t/a.ogg...", "[1/2]\t/a.ogg...OK",
                                      "[1/2]\t/a.ogg...OK\r\n[2/2]\t/b.ogg...ERROR (OPENFILE)\r\n"
                                      "2 files, 1 errors [2]"}));
}

TEST(Progress, RangeThenEveryStepThenEmptyAfterTheRunEnds) {
  Scan scan;
  const int64_t longerThan32Bits = (int64_t{1} << 33) + 7;
  scan.Add("/long.ogg", {true, "", {1024, 1024, 0}, longerThan32Bits});
  scan.Add("/hole.ogg", Fails("OV_HOLE @ 0m 00s", {700, -3}));
  scan.Run();
  EXPECT_EQ(scan.window.progress, (std::vector<std::pair<int64_t, bool>>{{longerThan32Bits, true},
                                                                         {1024, false},
                                                                         {2048, false},
                                                                         {2048, false},
                                                                         {1524, true},
                                                                         {700, false},
                                                                         {700, false},
                                                                         {0, false}}));
}

TEST(Cancel, MidFileLeavesTheLineOpenAndCountsFilesBegun) {
  Scan scan;
  for (int i = 1; i <= 10; ++i) scan.Add("/f" + std::to_string(i) + ".ogg");
  scan.onStep = [&](const std::string& path, int step) {
    if (path == "/f3.ogg" && step == 1) scan.state.RequestCancel();
  };
  const std::string report = scan.Run();
  EXPECT_TRUE(report.ends_with(
      "[3/10]\t/f3.ogg...\r\n3 files, 0 errors\r\nCancelled: 7 of 10 files not checked"))
      << report;
  EXPECT_EQ(report.find("/f4.ogg"), std::string::npos);
}

TEST(Pause, BlocksTheWorkerAfterTheStepUntilContinued) {
  Scan scan;
  scan.Add("/a.ogg", {true, "", {10, 10, 10, 0}, 30});
  std::atomic<int> steps{0};
  scan.onStep = [&](const std::string&, int step) {
    steps = step;
    if (step == 1) scan.state.TogglePause();
  };
  auto worker = scan.RunInThread();
  ASSERT_TRUE(WaitFor([&] { return steps.load() >= 1; })) << "the worker never stepped";
  // A window to watch, not a wait: a paused worker takes no step in it, however long.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(steps.load(), 1);
  EXPECT_TRUE(scan.state.IsRunning());
  scan.state.TogglePause();
  worker->Join("the worker");
  EXPECT_EQ(steps.load(), 4);
  EXPECT_EQ(scan.window.Last(), "[1/1]\t/a.ogg...OK\r\n1 files, 0 errors");
}

TEST(Cancel, WhilePausedWakesTheWorkerWhichWritesItsSummary) {
  Scan scan;
  // Plenty of steps left: a worker woken before it could see the cancel would run on.
  Script a{true, "", std::vector<int64_t>(100000, 10), 1000000};
  a.steps.push_back(0);
  scan.Add("/a.ogg", a);
  scan.Add("/b.ogg");
  std::atomic<bool> paused{false};
  std::atomic<int> steps{0};
  scan.onStep = [&](const std::string& path, int step) {
    ++steps;
    if (path == "/a.ogg" && step == 1) {
      scan.state.TogglePause();
      paused = true;
    }
  };
  auto worker = scan.RunInThread();
  ASSERT_TRUE(WaitFor([&] { return paused.load(); })) << "the worker never paused";
  scan.state.RequestCancel();
  worker->Join("the worker");
  EXPECT_EQ(scan.window.Last(),
            "[1/2]\t/a.ogg...\r\n1 files, 0 errors\r\nCancelled: 1 of 2 files not checked");
  EXPECT_EQ(steps.load(), 1) << "steps after the cancel";
  EXPECT_FALSE(scan.state.IsRunning());
  EXPECT_EQ(scan.heard.files.back().status, FileVerdict::Status::kCancelled);
}

TEST(AppendDuringScan, TotalsGrowAndEntriesAddedWhileTheLastFileRunsAreTestedToo) {
  Scan scan;
  scan.Add("/a.ogg");
  scan.Add("/b.ogg");
  scan.files["/c.ogg"] = {};
  scan.files["/d.ogg"] = {};
  scan.onStep = [&](const std::string& path, int step) {
    if (step != 1) return;
    // Appended while the first file runs, and while the last one runs.
    if (path == "/a.ogg") scan.state.m_fileList.Append("/c.ogg");
    if (path == "/c.ogg") scan.state.m_fileList.Append("/d.ogg");
  };
  EXPECT_EQ(scan.Run(),
            "[1/2]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...OK\r\n[3/3]\t/c.ogg...OK\r\n"
            "[4/4]\t/d.ogg...OK\r\n4 files, 0 errors");
}

TEST(Listener, HearsEveryVerdictInListOrderWithItsLineAtOnce) {
  using S = FileVerdict::Status;
  Scan scan;
  scan.Add("/a.ogg");
  scan.Add("/b.ogg", Fails("OV_HOLE @ 0m 01s"));
  scan.Add("/c.ogg", WontOpen("OPENFILE"));
  scan.Run();
  EXPECT_EQ(
      scan.heard.files,
      (std::vector<Heard::File>{
          {1, "/a.ogg", S::kOk, "", "[1/3]\t/a.ogg...OK"},
          {2, "/b.ogg", S::kError, "OV_HOLE @ 0m 01s", "[2/3]\t/b.ogg...ERROR (OV_HOLE @ 0m 01s)"},
          {3, "/c.ogg", S::kError, "OPENFILE", "[3/3]\t/c.ogg...ERROR (OPENFILE)"}}));
  EXPECT_EQ(scan.heard.summary, "3 files, 2 errors [2,3] listed 3");
}

TEST(RunFaults, AreNeverVerdictsOnTheFile) {
  const struct {
    const char* name;
    Script second;
    bool cancelFirst;
    std::string report;
    FileVerdict::Status heard;
  } cases[] = {
      {"no decoder could start: the scan stops, the line stays open",
       {false, "cannot start a decoder helper", {}, 0, FileVerdict::Status::kPending, true},
       false,
       "[1/3]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...\r\n2 files, 0 errors",
       FileVerdict::Status::kNotChecked},
      {"the decoder went down with a cancelled scan",
       {true, "", {1024, -1000}, 2048, FileVerdict::Status::kCancelled, false},
       true,
       "[1/3]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...\r\n2 files, 0 errors\r\n"
       "Cancelled: 1 of 3 files not checked",
       FileVerdict::Status::kCancelled},
      {"a stalled decoder: the file is not checked, the scan goes on",
       {true, "", {1024, -1000}, 2048, FileVerdict::Status::kNotChecked, false},
       false,
       "[1/3]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...\r\n[3/3]\t/c.ogg...OK\r\n3 files, 0 errors",
       FileVerdict::Status::kNotChecked},
      {"the decoder crashed in a scan that goes on",
       {true, "CRASH @ 0m 00s", {1024, -1000}, 2048, FileVerdict::Status::kPending, false},
       false,
       "[1/3]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...ERROR (CRASH @ 0m 00s)\r\n"
       "[3/3]\t/c.ogg...OK\r\n3 files, 1 errors [2]",
       FileVerdict::Status::kError},
  };
  for (const auto& c : cases) {
    Scan scan;
    scan.Add("/a.ogg");
    scan.Add("/b.ogg", c.second);
    scan.Add("/c.ogg");
    // A cancel that lands while the decoder is already going down.
    scan.onStep = [&](const std::string& path, int step) {
      if (c.cancelFirst && path == "/b.ogg" && step == 2) scan.state.RequestCancel();
    };
    EXPECT_EQ(scan.Run(), c.report) << c.name;
    EXPECT_EQ(scan.heard.files.at(1).status, c.heard) << c.name;
  }
}

// What the report says besides the files, and what a listener hears of it: the paths that
// yielded nothing, before the summary, and after it what a cancel left unchecked. The
// summary line itself is the same whatever follows it.
TEST(Report, NamesWhatWasNotCheckedAroundAnUnchangedSummary) {
  struct Case {
    const char* name;
    int files;
    int cancelAt;  // the file whose first step a cancel follows; 0: none
    std::vector<CFileList::Unchecked> unchecked;
    std::string report;
    std::string heard;  // cancelled, not checked, and the lines around the summary
  };
  const Case cases[] = {
      {"a clean run says nothing more",
       2,
       0,
       {},
       "[1/2]\t/f1.ogg...OK\r\n[2/2]\t/f2.ogg...OK\r\n2 files, 0 errors",
       "0 0 [] "},
      {"a cancel in the first of two files",
       2,
       1,
       {},
       "[1/2]\t/f1.ogg...\r\n1 files, 0 errors\r\nCancelled: 1 of 2 files not checked",
       "1 1 [] Cancelled: 1 of 2 files not checked"},
      {"a cancel in the last file leaves none unbegun, and still says so",
       2,
       2,
       {},
       "[1/2]\t/f1.ogg...OK\r\n[2/2]\t/f2.ogg...\r\n2 files, 0 errors\r\n"
       "Cancelled: 0 of 2 files not checked",
       "1 0 [] Cancelled: 0 of 2 files not checked"},
      {"folders that cannot be read, named as given, before the summary",
       1,
       0,
       {{"/m/locked", "Permission denied"}, {"/m/\x1B[2J", "Input/output error"}},
       "[1/1]\t/f1.ogg...OK\r\nNot checked: /m/locked (Permission denied)\r\n"
       "Not checked: /m/\xEF\xBF\xBD[2J (Input/output error)\r\n1 files, 0 errors",
       "0 0 [Not checked: /m/locked (Permission denied)|Not checked: /m/\xEF\xBF\xBD[2J "
       "(Input/output error)|] "},
      {"an unreadable folder and a cancel",
       3,
       2,
       {{"/m/locked", "Permission denied"}},
       "[1/3]\t/f1.ogg...OK\r\n[2/3]\t/f2.ogg...\r\nNot checked: /m/locked (Permission "
       "denied)\r\n2 files, 0 errors\r\nCancelled: 1 of 3 files not checked",
       "1 1 [Not checked: /m/locked (Permission denied)|] Cancelled: 1 of 3 files not checked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    for (int i = 1; i <= c.files; ++i) scan.Add("/f" + std::to_string(i) + ".ogg");
    for (const auto& u : c.unchecked) scan.state.m_fileList.AddUnchecked(u.path, u.reason);
    scan.onStep = [&](const std::string& path, int step) {
      if (step == 1 && path == "/f" + std::to_string(c.cancelAt) + ".ogg") {
        scan.state.RequestCancel();
      }
    };
    struct Summary final : IScanListener {
      void OnFileEnded(const FileResult&) override {}
      void OnScanEnded(const ScanSummary& s) override {
        heard = std::to_string(s.cancelled) + " " + std::to_string(s.notChecked) + " [";
        for (const std::string& u : s.uncheckedLines) heard += u + "|";
        heard += "] " + s.notCheckedLine;
        line = s.line;
      }
      std::string heard;
      std::string line;
    } summary;
    scan.state.PrepareStart();
    ScanThreadProc(scan.state, scan.window, scan.Factory(), &summary);
    EXPECT_EQ(scan.window.Last(), c.report);
    EXPECT_EQ(summary.heard, c.heard);
    EXPECT_EQ(summary.line,
              std::to_string(c.cancelAt == 0 ? c.files : c.cancelAt) + " files, 0 errors");
    EXPECT_FALSE(scan.state.IsRunning());
  }
  // Numbers as the rest of the report writes them, whatever the reason.
  EXPECT_EQ(NotCheckedLine("Stopped by the time budget", 2052, 2500),
            "Stopped by the time budget: 2052 of 2500 files not checked");
}

// An appender that joined the scan before its last look keeps it from ending until the
// appender is done, so what it appends is tested; once the scan has ended, joining fails
// and the entry is left for a new scan. Either way nothing is appended to a scan that will
// never look at it.
TEST(AppendDuringScan, AJoinedAppenderIsWaitedForAndALateOneIsRefused) {
  for (const bool early : {true, false}) {
    SCOPED_TRACE(early ? "joined during the last file" : "after the scan ended");
    Scan scan;
    scan.Add("/a.ogg");
    scan.files["/late.ogg"] = {};
    std::atomic<bool> joined{false};
    std::unique_ptr<testsupport::CBoundedThread> appender;
    scan.onStep = [&](const std::string& path, int step) {
      if (!early || path != "/a.ogg" || step != 1) return;
      // Another thread joins, and appends only once the worker has most likely reached its
      // last look (not a wait: an earlier append gives the same report).
      appender = std::make_unique<testsupport::CBoundedThread>([&] {
        joined = scan.state.m_fileList.JoinWalk();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        scan.state.m_fileList.Append("/late.ogg");
        scan.state.m_fileList.LeaveWalk();
      });
      ASSERT_TRUE(WaitFor([&] { return joined.load(); }));
    };
    const std::string report = scan.Run();
    if (appender) appender->Join("the appender");
    if (early) {
      EXPECT_EQ(report, "[1/1]\t/a.ogg...OK\r\n[2/2]\t/late.ogg...OK\r\n2 files, 0 errors");
    } else {
      EXPECT_FALSE(scan.state.m_fileList.JoinWalk());
      EXPECT_EQ(report, "[1/1]\t/a.ogg...OK\r\n1 files, 0 errors");
    }
    EXPECT_FALSE(scan.state.IsRunning());
  }
}
