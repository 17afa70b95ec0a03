#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// A manual-reset event: signalled means run, non-signalled means paused. Waiting on a
// signalled event costs one atomic load, so the worker can pass it after every step.
class CRunEvent {
 public:
  explicit CRunEvent(bool signalled = true) : m_bSignalled(signalled) {}
  void Set();
  void Reset();
  // Blocks while non-signalled.
  void Wait();
  // The zero time-out test: never blocks.
  bool IsSet() const { return m_bSignalled.load(std::memory_order_acquire); }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::atomic<bool> m_bSignalled;
};
