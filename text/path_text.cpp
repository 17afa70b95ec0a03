#include "text/path_text.h"

// The well-formed sequences of Unicode's table 3-7.
std::size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto in = [&](std::size_t i, unsigned lo, unsigned hi) {
    return i < s.size() && b(i) >= lo && b(i) <= hi;
  };
  const unsigned c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return in(1, lo, hi) && in(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

namespace {

// C0 and DEL are one byte each; C1 (U+0080 to U+009F) is 0xC2 followed by 0x80 to 0x9F.
bool IsControl(std::string_view sequence) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
  if (sequence.size() == 1) return b(0) < 0x20 || b(0) == 0x7F;
  return sequence.size() == 2 && b(0) == 0xC2 && b(1) <= 0x9F;
}

}  // namespace

std::string DisplayText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    if (n == 0 || IsControl(bytes.substr(i, n))) {
      out += "\xEF\xBF\xBD";
      i += n == 0 ? 1 : n;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string CutToUtf16Units(std::string_view bytes, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    const std::size_t width = n == 4 ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
    i += n == 0 ? 1 : n;
  }
  return std::string(bytes.substr(0, i));
}
