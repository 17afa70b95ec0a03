#include "platform/path_bytes.h"
#include "platform/utf16.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::filesystem::path::string_type NativeFromUtf8(std::string utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

bool EndsInSeparator(std::string_view utf8) {
  return !utf8.empty() && (utf8.back() == '/' || utf8.back() == '\\');
}
