#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string_view>

// Standard output for results. Every write is checked: a full disk or a closed stream
// must not end in an exit status that claims a complete report. What is written goes out
// before the scan starts to decode a file (see Flush) and at least every 50 ms, so a
// reader sees each verdict as soon as it is known, while verdicts that come by the
// thousand (files that fail at once, or come from the results database) share writes.
class COutput {
 public:
  // `onFailure` runs once, at the first failed write: the scan has no one to report to.
  COutput(std::FILE* stream, std::function<void()> onFailure)
      : m_stream(stream), m_onFailure(std::move(onFailure)) {}

  void Write(std::string_view text);
  // Sends what waits.
  void Flush();
  // errno of the first failed write, 0 when all went out.
  int Error() const { return m_nError; }

 private:
  void Failed();

  std::FILE* m_stream;
  std::function<void()> m_onFailure;
  int m_nError = 0;
  std::chrono::steady_clock::time_point m_lastFlush = std::chrono::steady_clock::now();
};
