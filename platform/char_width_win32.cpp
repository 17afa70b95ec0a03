#include <windows.h>

#include "platform/char_width.h"

int CharColumns(uint32_t codePoint) {
  // Windows has no wcwidth; its character type tables say which characters are full
  // width and which do not advance.
  // Outside the BMP the tables say nothing of width: the blocks that are wide there (Unicode's
  // East Asian Width W) are named here, roughly; everything else there counts one.
  if (codePoint >= 0x10000) {
    const bool wide = (codePoint >= 0x16FE0 && codePoint <= 0x1B2FF) ||  // Tangut, kana
                      (codePoint >= 0x1F300 && codePoint <= 0x1F64F) ||  // pictographs
                      (codePoint >= 0x1F680 && codePoint <= 0x1F6FF) ||  // transport
                      (codePoint >= 0x1F900 && codePoint <= 0x1F9FF) ||  // supplemental
                      (codePoint >= 0x1FA70 && codePoint <= 0x1FAFF) ||  // symbols ext-A
                      (codePoint >= 0x20000 && codePoint <= 0x3FFFD);    // CJK ext B on
    return wide ? 2 : 1;
  }
  wchar_t units[1];
  units[0] = static_cast<wchar_t>(codePoint);
  WORD types[1] = {0};
  if (!::GetStringTypeW(CT_CTYPE3, units, 1, types)) return -1;
  const WORD t = types[0];
  if ((t & C3_NONSPACING) != 0 && (t & C3_ALPHA) == 0) return 0;
  if ((t & (C3_FULLWIDTH | C3_IDEOGRAPH | C3_HIRAGANA)) != 0) return 2;
  if ((t & C3_KATAKANA) != 0 && (t & C3_HALFWIDTH) == 0) return 2;
  // Hangul syllables carry no full-width flag.
  if (codePoint >= 0xAC00 && codePoint <= 0xD7A3) return 2;
  return 1;
}
