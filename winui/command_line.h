#pragma once

#include <string>
#include <string_view>

// What follows the program's own name on a Windows command line, as the window receives
// it: a name that begins with a double quote runs to the next double quote (or the end),
// any other to the first character at or below U+0020; then every character from U+0001
// to U+0020 is skipped. Nothing else is parsed.
std::wstring_view CommandLineTail(std::wstring_view line);

// The command line as one path: every double quote removed, wherever it stands.
std::wstring WithoutQuotes(std::wstring_view text);
