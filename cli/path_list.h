#pragma once

#include <string>
#include <string_view>
#include <vector>

// The list that --files-from reads: one path per entry, as bytes, in order.
//
// Entries end at a newline, or at a NUL with -0/--null (as find -print0 writes them). The
// last entry needs no separator, and an empty entry (a blank line, two NULs in a row) is
// no path and is passed over. A line's one last carriage return is its line end's, as in
// a list that Notepad wrote ("\r\n"), on every system, so that one list reads the same
// everywhere: a name that itself ends in "\r" (POSIX allows it; Windows does not) goes in
// a NUL-separated list, where every byte belongs to the path. Every other byte belongs to
// it in either form, blanks and other carriage returns included. A newline-separated list
// that holds a NUL byte was meant for -0 and is refused, since no path holds a NUL.

enum class PathListSeparator { kNewline, kNul };

// False with the reason in `error` for a list that no path could come from.
bool SplitPathList(std::string_view bytes, PathListSeparator separator,
                   std::vector<std::string>& entries, std::string& error);

// Reads the list from `file`, or from standard input when it is "-". The error names
// the file.
bool ReadPathList(const std::string& file, PathListSeparator separator,
                  std::vector<std::string>& entries, std::string& error);
