#include <windows.h>

#include "platform/cancel_signal.h"

// Not inheritable: helpers get only the handles they are given.
CCancelSignal::CCancelSignal() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CCancelSignal::~CCancelSignal() {
  if (m_event != nullptr) ::CloseHandle(m_event);
}

void CCancelSignal::Raise() {
  if (m_event != nullptr) ::SetEvent(m_event);
}

void CCancelSignal::Clear() {
  if (m_event != nullptr) ::ResetEvent(m_event);
}

NativeWaitable CCancelSignal::Waitable() const { return m_event; }
