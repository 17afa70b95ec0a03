#include <locale.h>
#include <wchar.h>

#include "platform/char_width.h"

namespace {

// Never freed: the widths serve until the process ends. Null when the C library has no
// C.UTF-8, and then no width is known.
locale_t Utf8Locale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

}  // namespace

int CharColumns(uint32_t codePoint) {
  const locale_t locale = Utf8Locale();
  if (locale == locale_t{}) return -1;
  // Widths under C.UTF-8 whatever the user's locale.
  const locale_t previous = ::uselocale(locale);
  const int width = ::wcwidth(static_cast<wchar_t>(codePoint));
  ::uselocale(previous);
  return width;
}
