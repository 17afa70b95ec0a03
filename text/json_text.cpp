#include "text/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "text/path_text.h"

std::string JsonQuote(std::string_view bytes) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    const auto c = static_cast<unsigned char>(bytes[i]);
    char escape[8];
    if (n == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      out += escape;
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(bytes.substr(i, n));
    }
    i += n;
  }
  return out + '"';
}

std::string JsonNumber(std::optional<double> value) {
  if (!value || !std::isfinite(*value)) return "null";
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *value);
  return ec == std::errc() ? std::string(buffer, end) : "null";
}

std::string HexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}
