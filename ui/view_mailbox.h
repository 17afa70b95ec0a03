#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// What the worker last asked the window to show, held until the window's own thread takes
// it. The worker never waits for the window: each post stores the news and, when nothing
// was waiting to be taken, asks the window once (through `notify`) to come and take it.
// So a slow window sees fewer, larger updates, and a closed one holds up nobody. The
// buttons change only as a scan begins and ends, and the window should not sit on that:
// their news asks once more, as urgent, even when a plain request is waiting.
class CViewMailbox {
 public:
  // The bar shows an int range; longer files count in units of 2^shift samples.
  static constexpr int64_t kBarLimit = 0x7FFFFFFF;

  struct Update {
    // The pane starts over before strAdded: a new report began.
    bool bNewReport = false;
    // Report text added since the last take, UTF-8 with "\r\n" between lines.
    std::string strAdded;
    bool bRange = false;
    int nBarMax = 0;
    bool bPosition = false;
    int nBarPos = 0;
    bool bButtons = false;
  };

  // Called on the posting thread: at most once plain and once urgent until the next Take.
  explicit CViewMailbox(std::function<void(bool urgent)> notify) : m_notify(std::move(notify)) {}

  // The whole report so far; within one report each text extends the one before, so only
  // the new tail is kept. A shorter or empty text begins a new report.
  void PostLogText(std::string_view text);
  // As IScanWindow::SetProgress. A position that would not change the bar is dropped.
  void PostProgress(int64_t value, bool bSetRange);
  void PostUpdateButtons();

  // Everything posted since the last take.
  Update Take();

 private:
  // Call with the lock held; true when the caller must notify once it has let go.
  bool MarkPending();

  std::function<void(bool urgent)> m_notify;
  std::mutex m_mutex;
  Update m_pending;
  bool m_bNotified = false;
  bool m_bUrgentNotified = false;
  std::size_t m_nReportLength = 0;
  int m_nShift = 0;
  int m_nBarMax = 0;
  int m_nBarPos = 0;
};
