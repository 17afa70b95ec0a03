#pragma once

// For the Win32 sources only: UTF-8 to and from the wide strings Win32 takes.

#include <string>
#include <string_view>

#include "platform/utf16.h"

inline std::wstring WidePath(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

inline std::string NarrowName(const wchar_t* wide) {
  const std::wstring_view view(wide);
  return Utf16ToUtf8(std::u16string(view.begin(), view.end()));
}
