#include "cli/output.h"

#include <cerrno>

namespace {

constexpr auto kLongestWait = std::chrono::milliseconds(50);

}  // namespace

void COutput::Write(std::string_view text) {
  if (m_nError != 0) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), m_stream) != text.size()) return Failed();
  if (std::chrono::steady_clock::now() - m_lastFlush >= kLongestWait) Flush();
}

void COutput::Flush() {
  m_lastFlush = std::chrono::steady_clock::now();
  if (m_nError != 0) return;
  errno = 0;
  if (std::fflush(m_stream) != 0) Failed();
}

void COutput::Failed() {
  m_nError = errno != 0 ? errno : EIO;
  if (m_onFailure) m_onFailure();
}
