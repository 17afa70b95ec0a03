#include "text/path_text.h"

#include <algorithm>

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

char32_t CodePoint(std::string_view sequence) {
  const auto b = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(sequence[i]));
  };
  switch (sequence.size()) {
    case 1: return b(0);
    case 2: return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    case 3: return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    default: return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
  }
}

}  // namespace

// What a name must not carry into a report line: C0, DEL and C1 (a new line, a terminal
// command); the bidirectional controls, which turn the rest of a line around wherever
// text is laid out (a name ending "...KO" can read as "...OK"); and the line and paragraph
// separators, which break a line where text is laid out.
bool ShowsAsReplacement(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string DisplayText(std::string_view bytes) {
  std::string out;
  AppendDisplayText(out, bytes);
  return out;
}

void AppendDisplayText(std::string& out, std::string_view bytes) {
  // Most names are printable ASCII throughout: a report of a big library shows thousands.
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
    out.append(bytes);
    return;
  }
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    if (n == 0 || ShowsAsReplacement(CodePoint(bytes.substr(i, n)))) {
      out += "\xEF\xBF\xBD";
      i += n == 0 ? 1 : n;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
}

std::string CutMarked(std::string_view bytes, std::size_t maxBytes) {
  if (bytes.size() <= maxBytes) return std::string(bytes);
  std::size_t i = 0;
  for (std::size_t n = 0; i < bytes.size(); i += n) {
    n = std::max<std::size_t>(1, Utf8SequenceLength(bytes.substr(i)));
    if (i + n > maxBytes) break;
  }
  return std::string(bytes.substr(0, i)) + "[... " + std::to_string(bytes.size() - i) +
         " more bytes]";
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
