#include <fcntl.h>
#include <unistd.h>

#include "platform/cancel_signal.h"

CCancelSignal::CCancelSignal() {
  if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) m_pipe[0] = m_pipe[1] = -1;
}

CCancelSignal::~CCancelSignal() {
  for (const int fd : m_pipe) {
    if (fd >= 0) ::close(fd);
  }
}

void CCancelSignal::Raise() {
  if (m_pipe[1] >= 0) (void)!::write(m_pipe[1], "", 1);
}

void CCancelSignal::Clear() {
  char drained[64];
  while (m_pipe[0] >= 0 && ::read(m_pipe[0], drained, sizeof drained) > 0) {
  }
}

NativeWaitable CCancelSignal::Waitable() const { return m_pipe[0]; }
