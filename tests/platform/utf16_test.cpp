// UTF-8 and UTF-16 at the Windows boundary: every name a file system holds survives the
// trip both ways, and what is not UTF-8 becomes U+FFFD, never a dropped byte.

#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/path_bytes.h"

TEST(Utf16, EveryNameRoundTripsAndBrokenBytesBecomeReplacementCharacters) {
  const struct {
    const char* name;
    std::string utf8;
    std::u16string utf16;
    bool roundTrips;
  } cases[] = {
      {"ascii", "a.ogg", u"a.ogg", true},
      {"two bytes", "caf\xC3\xA9", u"caf\u00E9", true},
      {"three bytes", "\xE6\x9B\xB2", u"\u66F2", true},
      {"outside the BMP is a surrogate pair", "\xF0\x9F\x8E\xB5", u"\U0001F3B5", true},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
      {"lone high surrogate (WTF-8)", "a\xED\xA0\x80z", std::u16string{u'a', 0xD800, u'z'}, true},
      {"lone low surrogate (WTF-8)", "\xED\xBF\xBF", std::u16string{0xDFFF}, true},
      {"stray byte", "a\xFFz", u"a\uFFFDz", false},
      {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD", false},
      {"cut sequence at the end", "ab\xE6\x9B", u"ab\uFFFD\uFFFD", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
      {"NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.name;
    if (c.roundTrips) {
      EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.name;
    }
  }
  // A high surrogate followed by a low one is one character, whichever way it came.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83C, 0xDFB5}), "\xF0\x9F\x8E\xB5");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDFB5, 0xD83C}), "\xED\xBE\xB5\xED\xA0\xBC");
}

TEST(PathBytes, PathsAreUtf8BytesBothWays) {
  for (const std::string bytes : {"a/b.ogg", "Music/\xE6\x9B\xB2.ogg", "\xF0\x9F\x8E\xB5"}) {
    EXPECT_EQ(PathToUtf8(PathFromUtf8(bytes)), bytes);
  }
  EXPECT_TRUE(EndsInSeparator("a/"));
  EXPECT_FALSE(EndsInSeparator("a"));
  EXPECT_FALSE(EndsInSeparator(""));
}
