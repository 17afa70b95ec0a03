// The scan worker against scripted files: the report byte for byte, progress, pause,
// cancel and entries appended while it runs.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "scan/scan_worker.h"

namespace {

// What one scripted file does: fail to open with a reason, or give these step results
// (the last one 0 or negative) with a reason for a fault.
struct Script {
  bool opens = true;
  std::string reason;
  std::vector<int> steps = {1024, 500, 0};
  int64_t total = 1524;
};

class ScriptedTester final : public IFileTester {
 public:
  ScriptedTester(const std::map<std::string, Script>& files,
                 std::function<void(const std::string&, int)> onStep)
      : m_files(files), m_onStep(std::move(onStep)) {}
  bool Open(const std::filesystem::path& path) override {
    m_path = path.native();
    m_step = 0;
    const Script& s = m_files.at(m_path);
    m_error = s.opens ? "" : s.reason;
    return s.opens;
  }
  int DecodeStep() override {
    const Script& s = m_files.at(m_path);
    const int r = s.steps.at(m_step++);
    if (r < 0) m_error = s.reason;
    if (m_onStep) m_onStep(m_path, m_step);
    return r;
  }
  const std::string& ErrorText() const override { return m_error; }
  int64_t TotalSamples() const override { return m_files.at(m_path).total; }
  double PositionSeconds() const override { return 0; }
  double TotalSeconds() const override { return 0; }

 private:
  const std::map<std::string, Script>& m_files;
  std::function<void(const std::string&, int)> m_onStep;
  std::string m_path;
  std::string m_error;
  std::size_t m_step = 0;
};

struct Recorder final : IScanWindow {
  explicit Recorder(const CScanState& s) : state(s) {}
  void SetLogText(std::string_view text) override {
    std::lock_guard lock(mutex);
    texts.emplace_back(text);
  }
  void SetProgress(int64_t value, bool bSetRange) override {
    std::lock_guard lock(mutex);
    progress.push_back({value, bSetRange});
  }
  void UpdateButtons() override {
    std::lock_guard lock(mutex);
    buttonsRunning.push_back(state.m_bRunning.load());
  }
  std::string Last() {
    std::lock_guard lock(mutex);
    return texts.back();
  }
  const CScanState& state;
  std::mutex mutex;
  std::vector<std::string> texts;
  std::vector<std::pair<int64_t, bool>> progress;
  std::vector<int> buttonsRunning;
};

struct Scan {
  CScanState state;
  Recorder window{state};
  std::map<std::string, Script> files;
  std::function<void(const std::string&, int)> onStep;

  void Add(const std::string& path, Script s = {}) {
    files[path] = std::move(s);
    state.m_fileList.Append(path);
  }
  TesterFactory Factory() {
    return [this] { return std::make_unique<ScriptedTester>(files, onStep); };
  }
  std::string Run() {
    state.m_bKeepGoing = 1;
    EXPECT_EQ(ScanThreadProc(state, window, Factory()), 0);
    return window.Last();
  }
};

Script Fails(const char* reason, std::vector<int> steps = {1024, -3}) {
  return {true, reason, std::move(steps)};
}
Script WontOpen(const char* reason) { return {false, reason, {}}; }

}  // namespace

TEST(Report, EmptyListIsOnlyTheSummary) {
  Scan scan;
  EXPECT_EQ(scan.Run(), "0 files, 0 errors");
  EXPECT_EQ(scan.window.texts.front(), "");
  EXPECT_EQ(scan.window.buttonsRunning, (std::vector<int>{1, 0}));
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
  EXPECT_EQ(scan.window.progress,
            (std::vector<std::pair<int64_t, bool>>{{longerThan32Bits, true},
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
    if (path == "/f3.ogg" && step == 1) {
      scan.state.m_hRunEvent.Set();
      scan.state.m_bKeepGoing = 0;
    }
  };
  const std::string report = scan.Run();
  EXPECT_NE(report.find("[3/10]\t/f3.ogg...\r\n3 files, 0 errors"), std::string::npos) << report;
  EXPECT_EQ(report.find("/f4.ogg"), std::string::npos);
}

TEST(Pause, BlocksTheWorkerAfterTheStepUntilContinued) {
  Scan scan;
  scan.Add("/a.ogg", {true, "", {10, 10, 10, 0}, 30});
  std::atomic<int> steps{0};
  scan.onStep = [&](const std::string&, int step) {
    steps = step;
    if (step == 1) scan.state.m_hRunEvent.Reset();
  };
  scan.state.m_bKeepGoing = 1;
  std::thread worker([&] { ScanThreadProc(scan.state, scan.window, scan.Factory()); });
  while (steps.load() < 1) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(steps.load(), 1);
  EXPECT_EQ(scan.state.m_bRunning.load(), 1);
  scan.state.m_hRunEvent.Set();
  worker.join();
  EXPECT_EQ(steps.load(), 4);
  EXPECT_EQ(scan.window.Last(), "[1/1]\t/a.ogg...OK\r\n1 files, 0 errors");
}

TEST(Cancel, WhilePausedWakesTheWorkerWhichWritesItsSummary) {
  Scan scan;
  scan.Add("/a.ogg", {true, "", {10, 10, 0}, 20});
  scan.Add("/b.ogg");
  std::atomic<bool> paused{false};
  scan.onStep = [&](const std::string&, int step) {
    if (step == 1) {
      scan.state.m_hRunEvent.Reset();
      paused = true;
    }
  };
  scan.state.m_bKeepGoing = 1;
  std::thread worker([&] { ScanThreadProc(scan.state, scan.window, scan.Factory()); });
  while (!paused) std::this_thread::yield();
  scan.state.m_bKeepGoing = 0;
  scan.state.m_hRunEvent.Set();
  worker.join();
  EXPECT_EQ(scan.window.Last(), "[1/2]\t/a.ogg...\r\n1 files, 0 errors");
  EXPECT_EQ(scan.state.m_bRunning.load(), 0);
}

TEST(AppendDuringScan, TotalsGrowAndEntriesAfterTheLastTakenWaitForTheNextScan) {
  Scan scan;
  scan.Add("/a.ogg");
  scan.Add("/b.ogg");
  scan.files["/c.ogg"] = {};
  scan.files["/d.ogg"] = {};
  scan.onStep = [&](const std::string& path, int step) {
    if (step != 1) return;
    // Appended while the first file runs: reached. While the last one runs: not.
    if (path == "/a.ogg") scan.state.m_fileList.Append("/c.ogg");
    if (path == "/c.ogg") scan.state.m_fileList.Append("/d.ogg");
  };
  EXPECT_EQ(scan.Run(),
            "[1/2]\t/a.ogg...OK\r\n[2/3]\t/b.ogg...OK\r\n[3/3]\t/c.ogg...OK\r\n3 files, 0 errors");
  EXPECT_EQ(scan.state.m_fileList.Count(), 4u);
}
