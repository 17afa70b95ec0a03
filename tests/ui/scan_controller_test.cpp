// Job control as both windows have it, against a stand-in window: each row is what the
// user does, step by step, and what the window is told. The test takes the worker's news
// when it chooses and moves time itself, so nothing waits on a clock.

#include "ui/scan_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/path_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

// Every file takes two steps, and each step waits while the test holds the worker.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool held = false;
  int waiting = 0;
  std::atomic<int> testers{0};
};

class CGatedTester final : public IFileTester {
 public:
  explicit CGatedTester(Gate& gate) : m_gate(gate) { ++m_gate.testers; }
  ~CGatedTester() override { --m_gate.testers; }
  bool Open(const ListedFile&) override {
    m_verdict = {};
    m_verdict.opened = true;
    m_verdict.samples = 2048;
    m_nLeft = 2;
    return true;
  }
  int64_t DecodeStep() override {
    std::unique_lock lock(m_gate.mutex);
    ++m_gate.waiting;
    m_gate.cv.wait(lock, [&] { return !m_gate.held; });
    --m_gate.waiting;
    if (--m_nLeft > 0) return 1024;
    m_verdict.status = FileVerdict::Status::kOk;
    return 0;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  Gate& m_gate;
  FileVerdict m_verdict;
  int m_nLeft = 0;
};

// What the window is told, in order (captions when they change from what it shows), and
// its report.
class CFakeView final : public IScanView {
 public:
  void RequestView(bool) override {}
  void ShowView(const CViewMailbox::Update& u) override {
    if (u.bNewReport) report.clear();
    report += u.strAdded;
  }
  void ShowCaptions(const char* start, const char* close) override {
    const std::string shown = std::string(start) + "/" + close;
    if (shown != m_captions) Tell(shown);
    m_captions = shown;
  }
  void ShowCollecting(bool busy) override { Tell(busy ? "collecting" : "collected"); }
  void CloseWindow() override { Tell("closed"); }
  void Tell(const std::string& what) { told += (told.empty() ? "" : ", ") + what; }

  std::string told, report;

 private:
  std::string m_captions = "Start/Close";
};

TEST(Controller, WhatEachPressMeansAndWhatTheWindowIsTold) {
  struct Row {
    const char* name;
    // Steps, "; " between them: open [PATH] (the command line), start [FOLDER], cancel,
    // drop PATH, hold (the worker at its next step), held (wait for that, then take the
    // news), end (let go, wait for the worker's end, take the news), end-unseen (the same
    // without taking it), +MS (time passes). Paths are in the test's folder.
    const char* steps;
    const char* told;
    const char* report;  // once all news is taken; "<d>" for the folder, "\n" between lines
  };
  const Row rows[] = {
      {"Close on an idle window closes it", "cancel", "closed", ""},
      {"Start with an empty path field does nothing", "start", "", ""},
      {"an empty command line starts nothing and says nothing", "open", "", ""},
      {"a command line that collects nothing says why", "open notes", "collecting, collected",
       "Not checked: <d>/notes (no file in it has a name ending in \".ogg\")"},
      {"Pause, Continue, and a scan's end", "hold; start music; held; start; start; end",
       "collecting, collected, Pause/Cancel, Continue/Cancel, Pause/Cancel, Start/Close",
       "[1/1]\t<d>/music/a.ogg...OK\n1 files, 0 errors"},
      {"after a scan that ran to its end Close closes at once", "start music; end; cancel",
       "collecting, collected, closed", "[1/1]\t<d>/music/a.ogg...OK\n1 files, 0 errors"},
      {"Cancel keeps the window, as does a press within the grace; the next closes it",
       "hold; start music; held; cancel; cancel; end; cancel; +999; cancel; +1; cancel",
       "collecting, collected, Pause/Cancel, Start/Close, closed",
       "[1/1]\t<d>/music/a.ogg...\n1 files, 0 errors\nCancelled: 0 of 1 files not checked"},
      {"the grace counts from when the window sees the end, not from the cancel",
       "hold; start music; held; cancel; end-unseen; +5000; cancel; +999; cancel; +1; cancel",
       "collecting, collected, Pause/Cancel, closed",
       "[1/1]\t<d>/music/a.ogg...\n1 files, 0 errors\nCancelled: 0 of 1 files not checked"},
      {"a new scan in the grace forgets the cancel",
       "hold; start music; held; cancel; end; start music; end; cancel",
       "collecting, collected, Pause/Cancel, Start/Close, collecting, collected, closed",
       "[1/1]\t<d>/music/a.ogg...OK\n1 files, 0 errors"},
      {"a drop during a scan joins it", "hold; start music; held; drop b.ogg; end",
       "collecting, collected, Pause/Cancel, collecting, collected, Start/Close",
       "[1/1]\t<d>/music/a.ogg...OK\n[2/2]\t<d>/b.ogg...OK\n2 files, 0 errors"},
      {"a drop that collects nothing keeps the report", "start music; end; drop notes",
       "collecting, collected, collecting, collected",
       "[1/1]\t<d>/music/a.ogg...OK\n1 files, 0 errors"},
  };
  TempDir dir;
  dir.Write("music/a.ogg");
  dir.Write("b.ogg");
  dir.Write("notes/notes.txt");
  const std::string d = PathToUtf8(dir.path());
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + ": " + row.steps);
    CFakeView view;
    Gate gate;
    auto now = CScanController::Clock::time_point{};
    {
      CScanController controller(view);
      controller.m_testerFactory = [&] { return std::make_unique<CGatedTester>(gate); };
      controller.m_clock = [&] { return now; };
      const auto hold = [&](bool held) {
        std::lock_guard lock(gate.mutex);
        gate.held = held;
        gate.cv.notify_all();
      };
      std::istringstream steps(row.steps);
      for (std::string step; std::getline(steps >> std::ws, step, ';');) {
        std::istringstream words(step);
        std::string verb, arg;
        words >> verb >> arg;
        const std::filesystem::path path = arg.empty() ? std::filesystem::path() : dir / arg;
        if (verb == "open") controller.OnOpen(path.native());
        if (verb == "start") controller.OnStart(path);
        if (verb == "cancel") controller.OnCancel();
        if (verb == "drop") controller.OnDrop({path});
        if (verb == "hold") hold(true);
        if (verb.starts_with('+')) now += std::chrono::milliseconds(std::stoi(verb.substr(1)));
        if (verb == "held") {
          ASSERT_TRUE(testsupport::WaitFor([&] {
            std::lock_guard lock(gate.mutex);
            return gate.waiting > 0;
          }));
          controller.ApplyView();
        }
        if (verb.starts_with("end")) {
          hold(false);
          ASSERT_TRUE(testsupport::WaitFor(
              [&] { return !controller.m_state.IsRunning() && gate.testers == 0; }));
          if (verb == "end") controller.ApplyView();
        }
      }
      const std::string told = view.told;  // the row's, before the last news is taken
      hold(false);
      controller.Shutdown();
      controller.ApplyView();
      view.told = told;
    }
    EXPECT_EQ(view.told, row.told);
    std::string report = view.report;
    for (std::size_t at; (at = report.find(d)) != std::string::npos;)
      report.replace(at, d.size(), "<d>");
    std::erase(report, '\r');
    std::replace(report.begin(), report.end(), '\\', '/');
    EXPECT_EQ(report, row.report);
  }
}

}  // namespace
