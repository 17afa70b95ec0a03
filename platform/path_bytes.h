#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Paths are UTF-8 bytes inside the engine on every system: what the report shows, what the
// database keys, what the 259-unit cut measures. On POSIX they are the file system's own
// bytes; on Windows the UTF-16 name converted (see utf16.h). Never call .native() or
// .string() on a path for its bytes: on Windows the one is wide and the other goes through
// the ANSI code page.

std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path PathFromUtf8(std::string_view utf8);
// The same as the system's string, without building a path: a path object splits itself
// into parts, which a listing of a million names cannot afford.
std::filesystem::path::string_type NativeFromUtf8(std::string utf8);

// The separator collection puts between a folder and a name: "/" on POSIX, "\" on Windows.
inline constexpr char kPathSeparator =
    static_cast<char>(std::filesystem::path::preferred_separator);
// Whether the path already ends in a separator ("/" on POSIX; "/" or "\" on Windows).
bool EndsInSeparator(std::string_view utf8);
