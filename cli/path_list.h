#pragma once

#include <string>
#include <string_view>
#include <vector>

// The list that --files-from reads: one path per entry, as bytes, in order.
//
// Entries end at a newline, or at a NUL with -0/--null (as find -print0 writes them). The
// last entry needs no separator, and an empty entry (a blank line, two NULs in a row) is
// no path and is passed over. Every other byte belongs to the path, a carriage return or
// blank included: POSIX names may hold them, and a list written with CRLF line ends shows
// up there as paths that do not exist, never as other files. On Windows, where no name
// holds a carriage return, a line's one last "\r" is its line end's, as in a list that
// Notepad wrote (kCrlfOrNewline). A newline-separated list that holds a NUL byte was meant
// for -0 and is refused, since no path holds a NUL.

enum class PathListSeparator { kNewline, kCrlfOrNewline, kNul };

#ifdef _WIN32
inline constexpr PathListSeparator kLineSeparator = PathListSeparator::kCrlfOrNewline;
#else
inline constexpr PathListSeparator kLineSeparator = PathListSeparator::kNewline;
#endif

// False with the reason in `error` for a list that no path could come from.
bool SplitPathList(std::string_view bytes, PathListSeparator separator,
                   std::vector<std::string>& entries, std::string& error);

// Reads the list from `file`, or from standard input when it is "-". The error names
// the file.
bool ReadPathList(const std::string& file, PathListSeparator separator,
                  std::vector<std::string>& entries, std::string& error);
