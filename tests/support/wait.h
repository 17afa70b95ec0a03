#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Waits until `done` holds; false after `limit`, so that a test fails with its own
// message instead of running into the runner's time-out.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport
