#pragma once

// For the Win32 sources only: UTF-8 to and from the wide strings Win32 takes.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/utf16.h"

inline std::wstring WidePath(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

// A path for opening, listing or looking at a file, whatever its length. Win32 takes a
// plain path only up to MAX_PATH (260 units with its terminator; 248 for a folder that
// gets "\*" or a name added), so a longer one goes as "\\?\" and its full form (or
// "\\?\UNC\" for a share), which the file system takes up to 32,767 units without
// the limit or the registry's LongPathsEnabled. Shorter paths stay as they are: "NUL",
// relative paths and trailing dots keep the meaning users expect of them.
// The longest path Windows takes, in UTF-16 units.
inline constexpr std::size_t kLongestSystemPath = 32767;

inline std::wstring SystemPath(std::string_view utf8) {
  std::wstring wide = WidePath(utf8);
  constexpr std::size_t kPlainLimit = MAX_PATH - 12;
  if (wide.size() < kPlainLimit || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
    return wide;
  }
  std::wstring full(wide.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return wide;
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

inline std::string NarrowName(const wchar_t* wide) {
  const std::wstring_view view(wide);
  return Utf16ToUtf8(std::u16string(view.begin(), view.end()));
}
