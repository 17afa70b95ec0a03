#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Paths are bytes on this platform but are measured and shown as text: a name that is
// not valid UTF-8 must still be found, opened and shown, never dropped.

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0 when its first
// byte does not begin one (or `bytes` is empty).
std::size_t Utf8SequenceLength(std::string_view bytes);

// The characters a name shows as U+FFFD: control characters (C0, DEL, C1), the
// bidirectional controls and the line and paragraph separators.
bool ShowsAsReplacement(char32_t c);

// The text a person sees for a path: valid UTF-8 passes through, every byte that does
// not decode becomes U+FFFD, and so does every character ShowsAsReplacement names, so
// that a name can neither break or turn round a report line nor send escape sequences to
// a terminal.
std::string DisplayText(std::string_view bytes);
// The same, appended to `out`: a report line is built in one string.
void AppendDisplayText(std::string& out, std::string_view bytes);

// The longest prefix of `bytes` that holds at most `maxUnits` UTF-16 code units, cut
// only between characters. A byte that does not decode counts as one unit, as the
// U+FFFD that stands for it would.
std::string CutToUtf16Units(std::string_view bytes, std::size_t maxUnits);

// `bytes` when it holds at most `maxBytes`; else its longest prefix of at most `maxBytes`
// cut only between characters, then "[... n more bytes]": a text that quotes a file must
// not be as long as the file makes it.
std::string CutMarked(std::string_view bytes, std::size_t maxBytes);
