#include "platform/path_bytes.h"

std::string PathToUtf8(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::filesystem::path::string_type NativeFromUtf8(std::string utf8) { return utf8; }

bool EndsInSeparator(std::string_view utf8) { return !utf8.empty() && utf8.back() == '/'; }
