#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

// Standard output for results. Every write is checked: a full disk or a closed stream
// must not end in an exit status that claims a complete report. Each write is flushed,
// so a reader sees a verdict as soon as it is known.
class COutput {
 public:
  // `onFailure` runs once, at the first failed write: the scan has no one to report to.
  COutput(std::FILE* stream, std::function<void()> onFailure)
      : m_stream(stream), m_onFailure(std::move(onFailure)) {}

  void Write(std::string_view text);
  // errno of the first failed write, 0 when all went out.
  int Error() const { return m_nError; }

 private:
  std::FILE* m_stream;
  std::function<void()> m_onFailure;
  int m_nError = 0;
};
