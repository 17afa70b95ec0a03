#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "scan/file_collection.h"
#include "scan/file_tester.h"
#include "scan/scan_state.h"
#include "scan/scan_window.h"
#include "ui/view_mailbox.h"

// What a window shows of a scan, and the little it does when the controller asks. Every
// call comes on the window's thread, except RequestView.
class IScanView {
 public:
  virtual ~IScanView() = default;
  // The worker left news: the window is to call CScanController::ApplyView on its own
  // thread, soon, or at once when urgent. Called on the worker's thread; never waits.
  virtual void RequestView(bool urgent) = 0;
  // The report and the progress bar as the mailbox has them (its bButtons is the
  // controller's: the captions come through ShowCaptions).
  virtual void ShowView(const CViewMailbox::Update& update) = 0;
  // The two buttons' captions, UTF-8.
  virtual void ShowCaptions(const char* start, const char* close) = 0;
  // Collection runs on the window's thread, and a large folder takes a while to list.
  virtual void ShowCollecting(bool busy) = 0;
  // The user asked to close, and nothing keeps the window.
  virtual void CloseWindow() = 0;
};

// Job control for either window: what Start, Pause, Continue, Cancel, Close, a drop and
// the command line do, the worker's start and end, and what is shown when nothing was
// collected. The window turns its widgets' events into these calls and shows what it is
// told; the worker reaches the window only through this object (IScanWindow), which
// leaves its news in a mailbox and never waits for the window's thread.
class CScanController final : public IScanWindow {
 public:
  using Clock = std::chrono::steady_clock;

  // A Close, Esc or close-box press this soon after a cancelled check ends is the second
  // half of a double press, and keeps the window and its report.
  static constexpr int kCancelGraceMs = 1000;

  // Made on the window's thread, which every call but IScanWindow's must come on.
  explicit CScanController(IScanView& view);
  ~CScanController() override;
  CScanController(const CScanController&) = delete;
  CScanController& operator=(const CScanController&) = delete;

  // The window is about to show, with what followed the program's name: one path, every
  // double quote removed; empty for none.
  void OnOpen(std::filesystem::path::string_type commandLine);
  // The first button or Enter: Start on the folder in the path field, or Pause, Continue.
  void OnStart(const std::filesystem::path& folder);
  // Close or Cancel, Esc, the close box.
  void OnCancel();
  // Items dropped on the window, as local paths.
  void OnDrop(const std::vector<std::filesystem::path>& paths);
  // Takes the worker's news and shows it; on the window's thread, after RequestView.
  void ApplyView();
  // Lets a running worker go, as Cancel would, and waits for it: the window calls this
  // before it is torn down, while it can still hear the worker's last news.
  void Shutdown();

  // IScanWindow. From the worker's thread these only leave news for the window.
  void SetLogText(std::string_view text) override;
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override;

  // m_fileList, m_bKeepGoing, m_bRunning and m_hRunEvent.
  CScanState m_state;
  // Set before the window opens. The programs decode in a helper process, so a file that
  // crashes the decoder cannot take the window down; tests put in testers of their own.
  TesterFactory m_testerFactory;
  // Where the grace after a cancel reads the time; tests put in a clock of their own.
  std::function<Clock::time_point()> m_clock = [] { return Clock::now(); };

 private:
  // Collection's report of a folder it could not read: named in the report.
  UnreadableFolderSink NoteUnreadable();
  void StartWorker();
  // With no scan to write a report: the report is the lines for what was not checked.
  void ShowUnchecked();
  // A request collected nothing: the report says, for each path `given` (as it came, and
  // as collected from), why nothing was checked, or names the folders that could not be
  // read, and takes the pane from the last scan's report.
  void ShowNothingToCheck(const std::vector<std::filesystem::path>& given,
                          const std::vector<std::filesystem::path>& collected);
  // Once the window sees a cancelled check over, the grace for a second press begins.
  void NoteScanEnd();

  IScanView& m_view;
  std::thread::id m_uiThread = std::this_thread::get_id();
  CViewMailbox m_mailbox;
  // The current or last worker. Joined before the next one begins, when it is past its
  // last wait, and at Shutdown.
  std::thread m_worker;
  // A cancel was asked of the scan; and when the window saw that scan end.
  bool m_bCancelAsked = false;
  std::optional<Clock::time_point> m_cancelEnded;
};
