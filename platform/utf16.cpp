#include "platform/utf16.h"

#include <cstdint>

namespace {

// Like Utf8SequenceLength in text/, but with surrogates (0xED 0xA0-0xBF) allowed.
std::size_t SequenceLength(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const auto in = [&](std::size_t k, unsigned lo, unsigned hi) {
    return i + k < s.size() && b(k) >= lo && b(k) <= hi;
  };
  const unsigned c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    return in(1, lo, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  const auto put = [&](uint32_t v) { out += static_cast<char>(v); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | cp >> 6);
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | cp >> 12);
    put(0x80 | (cp >> 6 & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | cp >> 18);
    put(0x80 | (cp >> 12 & 0x3F));
    put(0x80 | (cp >> 6 & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t n = SequenceLength(utf8, i);
    const auto b = [&](std::size_t k) {
      return static_cast<uint32_t>(static_cast<unsigned char>(utf8[i + k]));
    };
    uint32_t cp = 0xFFFD;
    switch (n) {
      case 1: cp = b(0); break;
      case 2: cp = (b(0) & 0x1F) << 6 | (b(1) & 0x3F); break;
      case 3: cp = (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F); break;
      case 4:
        cp = (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
        break;
      default: break;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 | cp >> 10);
      out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n == 0 ? 1 : n;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00u);
    }
    AppendUtf8(out, cp);
  }
  return out;
}
