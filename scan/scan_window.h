#pragma once

#include <cstdint>
#include <string_view>

// What the scan worker asks of the window that shows it. Called on the worker's thread.
class IScanWindow {
 public:
  virtual ~IScanWindow() = default;
  // The whole report so far, UTF-8 with "\r\n" between lines. Within one scan each text
  // extends the one before; an empty text begins a new report.
  virtual void SetLogText(std::string_view text) = 0;
  // With bSetRange: the range becomes 0 ... value and the position 0. Otherwise the
  // position becomes value. Counts are samples per channel and may exceed 2^31.
  virtual void SetProgress(int64_t value, bool bSetRange) = 0;
  // Captions follow the scan state.
  virtual void UpdateButtons() = 0;
  // False when the window shows no report: SetLogText then gets only the line being
  // written, and a scan of a million files keeps no report of a million lines.
  virtual bool ShowsReport() const { return true; }
};

// For a scan that nobody watches.
class CSilentWindow final : public IScanWindow {
 public:
  void SetLogText(std::string_view) override {}
  void SetProgress(int64_t, bool) override {}
  void UpdateButtons() override {}
  bool ShowsReport() const override { return false; }
};
