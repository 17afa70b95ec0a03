#pragma once

// For the Win32 sources only: a handle owned, closed once.

#include <windows.h>

class CUniqueHandle {
 public:
  CUniqueHandle() = default;
  explicit CUniqueHandle(HANDLE handle) : m_handle(handle) {}
  ~CUniqueHandle() { Reset(); }
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      m_handle = other.Release();
    }
    return *this;
  }

  bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_handle; }
  HANDLE Release() {
    const HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
  }
  void Reset() {
    if (Valid()) ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};
