#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "scan/scan_state.h"

// Ctrl-C and SIGTERM ask the scan to stop as the window's Cancel does; the summary still
// follows. A second one ends the program at once. Signals are taken by one thread with
// sigwait, so the cancel may use the scan state's ordinary locks. Made before any other
// thread starts: threads inherit the blocked signals, and a signal the kernel handed to
// another thread (the results database's writer) would end the program on the spot.
// On Windows (interrupt_watcher_win32.cpp) the console's Ctrl-C, Ctrl-Break and close
// events do the same, taken on the thread the system starts for them, and are named
// SIGINT, SIGBREAK and SIGTERM.
class CInterruptWatcher {
 public:
  explicit CInterruptWatcher(CScanState& state);
  ~CInterruptWatcher();
  CInterruptWatcher(const CInterruptWatcher&) = delete;
  CInterruptWatcher& operator=(const CInterruptWatcher&) = delete;
  // The first signal taken, 0 if none.
  int Signal() const { return m_signal.load(); }
  // Why no thread could watch, empty when one does.
  const std::string& Error() const { return m_strError; }
  // What must still happen when a second signal ends the program at once: committing
  // what is already reported.
  void SetLastWords(std::function<void()> lastWords) {
    std::lock_guard lock(m_mutex);
    m_lastWords = std::move(lastWords);
  }
  // Windows: one console event, named as its signal, from the console's handler.
  void Take(int sig);

 private:
  void Run();

  CScanState& m_state;
  std::atomic<int> m_signal{0};
  std::string m_strError;
  std::mutex m_mutex;
  std::function<void()> m_lastWords;
  std::thread m_thread;
};
