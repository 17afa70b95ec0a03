#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace testsupport {

// Waits until `done` holds; false after `limit`, so that a test fails with its own
// message instead of running into the runner's time-out. The limit is a last resort, long
// enough for a sanitizer build on a machine busy with other work.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport

namespace testsupport {

// A thread a test starts and must see finish. A thread stuck for good (a lost wake-up)
// cannot be joined, so the whole test binary ends at once with the reason, instead of
// every later test hanging into the runner's time-out.
class CBoundedThread {
 public:
  explicit CBoundedThread(std::function<void()> body)
      : m_thread([this, body = std::move(body)] {
          body();
          m_bDone = true;
        }) {}
  ~CBoundedThread() {
    if (m_thread.joinable()) Join("a test thread");
  }
  void Join(const char* what, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (!WaitFor([this] { return m_bDone.load(); }, limit)) {
      std::fprintf(stderr, "FAILED: %s did not finish within %lld ms\n", what,
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::_Exit(1);
    }
    m_thread.join();
  }

 private:
  std::atomic<bool> m_bDone{false};
  std::thread m_thread;
};

}  // namespace testsupport
