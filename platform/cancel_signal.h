#pragma once

// A flag one thread raises and others can wait on together with their own handles: a
// decoder waiting on a stuck helper wakes at a cancel instead of waiting out the helper's
// time limit. A non-blocking pipe on POSIX (poll its read end), a manual-reset event on
// Windows (WaitForMultipleObjects).

#ifdef _WIN32
using NativeWaitable = void*;  // an event HANDLE
inline constexpr NativeWaitable kNoWaitable = nullptr;
#else
using NativeWaitable = int;  // a descriptor, readable once raised
inline constexpr NativeWaitable kNoWaitable = -1;
#endif

class CCancelSignal {
 public:
  CCancelSignal();
  ~CCancelSignal();
  CCancelSignal(const CCancelSignal&) = delete;
  CCancelSignal& operator=(const CCancelSignal&) = delete;

  void Raise();
  void Clear();
  // Invalid (-1, or null on Windows) when the system had none to give.
  NativeWaitable Waitable() const;

 private:
#ifdef _WIN32
  void* m_event = nullptr;
#else
  int m_pipe[2] = {-1, -1};
#endif
};
