#include <windows.h>

#include <csignal>

#include "cli/interrupt_watcher.h"
#include "platform/program.h"

namespace {

// The console's handler is one for the process.
std::atomic<CInterruptWatcher*> g_watcher{nullptr};

}  // namespace

// The handler runs on a thread the system starts for each event: the first asks the scan to
// stop, a second ends the program at once. Closing the console, logging off and shutting
// down end the process as soon as the handler returns, so for them it waits (the system
// allows about five seconds) while the scan stops and the summary goes out; the program's
// own end ends the wait.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  CInterruptWatcher* watcher = g_watcher.load();
  if (watcher == nullptr) return FALSE;
  const int sig = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  watcher->Take(sig);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(10000);
  return TRUE;
}

CInterruptWatcher::CInterruptWatcher(CScanState& state) : m_state(state) {
  g_watcher = this;
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    g_watcher = nullptr;
    m_strError =
        "cannot watch the console for Ctrl-C (error " + std::to_string(::GetLastError()) + ")";
  }
}

CInterruptWatcher::~CInterruptWatcher() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_watcher = nullptr;
}

void CInterruptWatcher::Take(int sig) {
  if (m_signal.exchange(sig) != 0) {
    std::function<void()> lastWords;
    {
      std::lock_guard lock(m_mutex);
      lastWords = m_lastWords;
    }
    if (lastWords) lastWords();
    ::ExitProcess(static_cast<UINT>(InterruptedExitStatus(sig)));
  }
  m_state.RequestCancel();
}
