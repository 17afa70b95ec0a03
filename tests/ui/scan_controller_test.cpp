// Job control as both windows have it, against a stand-in window: each row is what the
// user does, step by step, and what the window is told. The test takes the worker's news
// when it chooses and moves time itself, so nothing waits on a clock. What the reports
// say is tests/ui's, through the real window.

#include "ui/scan_controller.h"

#include <gtest/gtest.h>

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
    m_nSteps = 0;
    return true;
  }
  int64_t DecodeStep() override {
    std::unique_lock lock(m_gate.mutex);
    ++m_gate.waiting;
    m_gate.cv.wait(lock, [&] { return !m_gate.held; });
    --m_gate.waiting;
    if (++m_nSteps == 1) return 1024;
    m_verdict.status = FileVerdict::Status::kOk;
    return 0;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  Gate& m_gate;
  FileVerdict m_verdict;
  int m_nSteps = 0;
};

// What the window is told, in order; captions when they change from what it shows.
class CFakeView final : public IScanView {
 public:
  void RequestView(bool) override {}
  void ShowView(const CViewMailbox::Update& u) override {
    if (u.bNewReport) {
      Tell("new report");
      report.clear();
    }
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

  std::string told;
  // The report as the pane shows it.
  std::string report;

 private:
  std::string m_captions = "Start/Close";
};

// Runs `steps` (see the table below) against a controller over a stand-in window.
CFakeView RunSteps(const TempDir& dir, const std::string& steps) {
  CFakeView view;
  Gate gate;
  auto now = CScanController::Clock::time_point{};
  CScanController controller(view);
  controller.m_testerFactory = [&] { return std::make_unique<CGatedTester>(gate); };
  controller.m_clock = [&] { return now; };
  const auto hold = [&](bool held) {
    std::lock_guard lock(gate.mutex);
    gate.held = held;
    gate.cv.notify_all();
  };
  // Also when a step fails: the controller's end waits for the worker.
  const std::shared_ptr<void> letGo(nullptr, [&](void*) { hold(false); });
  std::istringstream in(steps);
  for (std::string step; std::getline(in >> std::ws, step, ';');) {
    std::istringstream words(step);
    std::string verb, arg;
    words >> verb >> arg;
    // Paths as the system writes them: a drop on Windows never holds "/".
    const auto at = [&](const std::string& name) {
      return dir.path() / std::filesystem::path(name).make_preferred();
    };
    const std::filesystem::path path = arg.empty() ? std::filesystem::path() : at(arg);
    if (verb == "open") controller.OnOpen(path.native());
    if (verb == "start") controller.OnStart(path);
    if (verb == "cancel") controller.OnCancel();
    if (verb == "drop") {
      std::vector<std::filesystem::path> paths{path};
      for (std::string more; words >> more;) paths.push_back(at(more));
      controller.OnDrop(paths);
    }
    if (verb == "show") controller.ApplyView();
    if (verb == "hold") hold(true);
    if (verb.starts_with('+')) now += std::chrono::milliseconds(std::stoi(verb.substr(1)));
    if (verb == "held") {
      EXPECT_TRUE(testsupport::WaitFor([&] {
        std::lock_guard lock(gate.mutex);
        return gate.waiting > 0;
      }));
      controller.ApplyView();
    }
    if (verb.starts_with("end")) {
      hold(false);
      EXPECT_TRUE(testsupport::WaitFor(
          [&] { return !controller.m_state.IsRunning() && gate.testers == 0; }));
      if (verb == "end") controller.ApplyView();
    }
  }
  return view;
}

TEST(Controller, WhatEachPressMeansAndWhatTheWindowIsTold) {
  // Steps, "; " between them: open [PATH] (the command line), start [FOLDER], cancel,
  // drop PATH..., hold (the worker at its next step), held (wait for that, then take the
  // news), end (let go, wait for the worker's end, take the news), end-unseen (the same
  // without taking it), show (take the news), +MS (time passes). Paths are in the test's
  // folder.
  const std::pair<const char*, const char*> rows[] = {
      {"cancel", "closed"},
      {"start", ""},
      {"open", ""},
      {"open notes", "collecting, collected"},
      {"hold; start music; held; start; start; end",
       "collecting, collected, new report, Pause/Cancel, Continue/Cancel, Pause/Cancel, "
       "Start/Close"},
      // The grace after a cancelled scan: a press within it keeps the window.
      {"hold; start music; held; cancel; cancel; end; cancel; +999; cancel; +1; cancel",
       "collecting, collected, new report, Pause/Cancel, Start/Close, closed"},
      // It counts from when the window sees the end, not from the cancel.
      {"hold; start music; held; cancel; end-unseen; +5000; cancel; +999; cancel; +1; cancel",
       "collecting, collected, new report, Pause/Cancel, closed"},
      // A new scan forgets the cancel.
      {"hold; start music; held; cancel; end; start music; end; cancel",
       "collecting, collected, new report, Pause/Cancel, Start/Close, collecting, collected, "
       "new report, closed"},
      {"start music; end; cancel", "collecting, collected, new report, closed"},
      // A drop that collects nothing starts nothing, and its report takes the pane.
      {"start music; end; drop notes; show",
       "collecting, collected, new report, collecting, collected, new report"},
      {"hold; start music; held; drop b.ogg; end",
       "collecting, collected, new report, Pause/Cancel, collecting, collected, Start/Close"},
  };
  TempDir dir;
  dir.Write("music/a.ogg");
  dir.Write("b.ogg");
  dir.Write("notes/notes.txt");
  for (const auto& [steps, told] : rows) {
    SCOPED_TRACE(steps);
    EXPECT_EQ(RunSteps(dir, steps).told, told);
  }
}

// Whatever was asked, the report answers it: a Start, a drop or a command line that
// collects nothing says what was given and why nothing was checked, never leaving the last
// scan's report (or "0 files, 0 errors", which reads as a pass) as the answer. @NAME is
// the path of NAME in the test's folder.
TEST(Controller, ARequestThatCollectsNothingSaysWhatWasGivenAndWhy) {
  const std::string inFolder = "no file in it has a name ending in \".ogg\"";
  const std::string notOgg = "neither a folder nor a file whose name ends in \".ogg\"";
  const std::pair<const char*, std::string> rows[] = {
      {"drop notes; show", "Not checked: @notes (" + inFolder + ")"},
      {"drop notes/notes.txt; show", "Not checked: @notes/notes.txt (" + notOgg + ")"},
      {"drop notes notes/notes.txt; show",
       "Not checked: @notes (" + inFolder + ")\r\nNot checked: @notes/notes.txt (" + notOgg + ")"},
      {"start music; end; drop notes; show", "Not checked: @notes (" + inFolder + ")"},
      {"start notes; show", "Not checked: @notes (" + inFolder + ")"},
      {"start music; end; start notes; show", "Not checked: @notes (" + inFolder + ")"},
      {"open notes/notes.txt; show", "Not checked: @notes/notes.txt (" + notOgg + ")"},
      // A path that cannot be read is named with the system's reason (its text ends the
      // line, and differs between systems): that is why nothing was checked.
      {"drop missing notes; show", "Not checked: @missing ("},
      // Joined to a running scan, a drop that adds nothing leaves that scan's report.
      {"hold; start music; held; drop notes; end", "[1/1]"},
      {"start music; end", "[1/1]"},
  };
  TempDir dir;
  dir.Write("music/a.ogg");
  dir.Write("notes/notes.txt");
  for (const auto& [steps, expected] : rows) {
    SCOPED_TRACE(steps);
    std::string want = expected;
    for (const char* name : {"notes/notes.txt", "notes", "missing"}) {
      const std::string at = std::string("@") + name;
      for (std::size_t i; (i = want.find(at)) != std::string::npos;) {
        want.replace(i, at.size(),
                     PathToUtf8(dir.path() / std::filesystem::path(name).make_preferred()));
      }
    }
    const std::string report = RunSteps(dir, steps).report;
    if (want == "[1/1]" || want.ends_with('(')) {
      EXPECT_EQ(report.rfind(want, 0), 0u) << report;
      if (want.ends_with('(')) {
        EXPECT_EQ(report.find('\n'), std::string::npos) << report;
      }
    } else {
      EXPECT_EQ(report, want);
    }
  }
}

}  // namespace
