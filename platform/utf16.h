#pragma once

#include <string>
#include <string_view>

// Inside the engine text and paths are UTF-8; Windows speaks UTF-16. Both directions are
// lossless for every name a file system can hold: a lone surrogate (a Windows name need not
// be valid UTF-16) travels as its three-byte form (WTF-8), which DisplayText shows as
// U+FFFD yet opens the same file again. Bytes that are not such UTF-8 each become U+FFFD.

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
