#include "cli/interrupt_watcher.h"

#include <pthread.h>
#include <unistd.h>

CInterruptWatcher::CInterruptWatcher(CScanState& state) : m_state(state) {
  sigemptyset(&m_signals);
  sigaddset(&m_signals, SIGINT);
  sigaddset(&m_signals, SIGTERM);
  sigaddset(&m_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
  m_thread = std::thread([this] { Run(); });
}

CInterruptWatcher::~CInterruptWatcher() {
  pthread_kill(m_thread.native_handle(), SIGUSR1);
  m_thread.join();
}

void CInterruptWatcher::Run() {
  for (;;) {
    int sig = 0;
    if (sigwait(&m_signals, &sig) != 0) continue;
    if (sig == SIGUSR1) return;
    if (m_signal.exchange(sig) != 0) _exit(128 + sig);
    m_state.RequestCancel();
  }
}
