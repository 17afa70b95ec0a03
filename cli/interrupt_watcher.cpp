#include "cli/interrupt_watcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <system_error>

namespace {

const sigset_t kWatched = [] {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  return signals;
}();

}  // namespace

CInterruptWatcher::CInterruptWatcher(CScanState& state) : m_state(state) {
  pthread_sigmask(SIG_BLOCK, &kWatched, nullptr);
  try {
    m_thread = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    // Out of threads (a process limit): the signals keep their usual effect.
    pthread_sigmask(SIG_UNBLOCK, &kWatched, nullptr);
    m_strError = e.code().message();
  }
}

CInterruptWatcher::~CInterruptWatcher() {
  if (!m_thread.joinable()) return;
  pthread_kill(m_thread.native_handle(), SIGUSR1);
  m_thread.join();
}

void CInterruptWatcher::Run() {
  for (;;) {
    int sig = 0;
    if (sigwait(&kWatched, &sig) != 0) continue;
    if (sig == SIGUSR1) return;
    if (m_signal.exchange(sig) != 0) {
      std::function<void()> lastWords;
      {
        std::lock_guard lock(m_mutex);
        lastWords = m_lastWords;
      }
      if (lastWords) lastWords();
      _exit(128 + sig);
    }
    m_state.RequestCancel();
  }
}
