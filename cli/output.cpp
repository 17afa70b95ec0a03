#include "cli/output.h"

#include <cerrno>

void COutput::Write(std::string_view text) {
  if (m_nError != 0) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), m_stream) == text.size() &&
      std::fflush(m_stream) == 0) {
    return;
  }
  m_nError = errno != 0 ? errno : EIO;
  if (m_onFailure) m_onFailure();
}
