#pragma once

#include <optional>
#include <string>
#include <string_view>

// A JSON string for bytes that may not be UTF-8: valid text as it is, and each byte that
// does not decode as the lone surrogate U+DC80 + (byte - 0x80), the "surrogateescape"
// that Python's os.fsencode and bytes.decode(..., "surrogateescape") undo.
std::string JsonQuote(std::string_view bytes);

// Bytes as lower-case hexadecimal digits, two per byte, in order.
std::string HexText(std::string_view bytes);

// A JSON number, shortest form that reads back the same; null for none, NaN and the
// infinities, which JSON cannot write.
std::string JsonNumber(std::optional<double> value);
