#pragma once

// Windows for the worker to drive in tests: one that records every call.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "scan/scan_state.h"
#include "scan/scan_window.h"

namespace testsupport {

class CRecordingWindow final : public IScanWindow {
 public:
  explicit CRecordingWindow(const CScanState& state) : m_state(state) {}
  void SetLogText(std::string_view text) override {
    std::lock_guard lock(m_mutex);
    texts.emplace_back(text);
  }
  void SetProgress(int64_t value, bool bSetRange) override {
    std::lock_guard lock(m_mutex);
    progress.push_back({value, bSetRange});
  }
  void UpdateButtons() override {
    std::lock_guard lock(m_mutex);
    buttonsRunning.push_back(m_state.IsRunning());
  }
  std::string Last() {
    std::lock_guard lock(m_mutex);
    return texts.empty() ? std::string() : texts.back();
  }

  std::vector<std::string> texts;
  std::vector<std::pair<int64_t, bool>> progress;
  std::vector<bool> buttonsRunning;

 private:
  const CScanState& m_state;
  std::mutex m_mutex;
};

}  // namespace testsupport
