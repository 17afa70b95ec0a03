#include "scan/run_event.h"

void CRunEvent::Set() {
  {
    std::lock_guard lock(m_mutex);
    m_bSignalled.store(true, std::memory_order_release);
  }
  m_cv.notify_all();
}

void CRunEvent::Reset() {
  std::lock_guard lock(m_mutex);
  m_bSignalled.store(false, std::memory_order_release);
}

void CRunEvent::Wait() {
  if (IsSet()) return;
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bSignalled.load(std::memory_order_acquire); });
}
