#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// How wide text is on a terminal, for lines that must fit its width: a wide East Asian
// character takes two columns, a combining mark none. Widths come from the system's
// Unicode tables (platform/char_width.h), whatever the user's locale. A byte that does not
// decode, a control character and a code point the tables do not know count one column,
// as the U+FFFD that DisplayText shows for them does.

std::size_t DisplayColumns(std::string_view utf8);

// The longest tail of `utf8` that fits in `maxColumns`, cut only between characters and
// never just after a base character whose combining marks it keeps.
std::string CutToColumnsFromLeft(std::string_view utf8, std::size_t maxColumns);
