// The texts a report is made of: positions, open-failure names, paths shown and cut.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "filetest/ogg_check.h"
#include "text/path_text.h"

TEST(PositionText, TruncatesTowardZeroAndNeverFoldsMinutes) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {5.99, "0m 05s"},  {600, "10m 00s"},   {10, "0m 10s"},   {70.5, "1m 10s"},   {59, "0m 59s"},   {65.9, "1m 05s"},
      {3725, "62m 05s"}, {0, "0m 00s"},      {59.999, "0m 59s"}, {36000, "600m 00s"},
      // ov_time_tell's error code and values no file has must not overflow or go negative.
      {-131, "0m 00s"},  {std::numeric_limits<double>::quiet_NaN(), "0m 00s"},
      {1e300, "16666666666666m 40s"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatPosition(c.seconds), c.text) << c.seconds;
}

TEST(FaultText, EachDecodeFaultWithItsPositionAndNoneForOtherCodes) {
  const struct {
    int result;
    double seconds;
    const char* text;
  } cases[] = {{OV_HOLE, 65.2, "OV_HOLE @ 1m 05s"},
               {OV_EBADLINK, 70, "OV_EBADLINK @ 1m 10s"},
               {kTruncated, 9.99, "TRUNCATED @ 0m 09s"},
               {OV_EINVAL, 3, ""},
               {-999, 3, ""}};
  for (const auto& c : cases) EXPECT_EQ(DecodeFaultText(c.result, c.seconds), c.text) << c.result;
}

TEST(OpenFailureNames, EveryListedCodeAndTheRestUnknown) {
  const struct {
    int code;
    const char* name;
  } cases[] = {{-134, "OV_EVERSION"}, {-133, "OV_EBADHEADER"}, {-132, "OV_ENOTVORBIS"},
               {-129, "OV_EFAULT"},   {-128, "OV_EREAD"},      {-137, "UNKNOWN"},
               {-130, "UNKNOWN"},     {-1, "UNKNOWN"},         {1, "UNKNOWN"}};
  for (const auto& c : cases) EXPECT_STREQ(OpenFailureName(c.code), c.name) << c.code;
}

TEST(PathText, InvalidBytesShowAsReplacementCharacters) {
  EXPECT_EQ(DisplayText("plain/ä.ogg"), "plain/ä.ogg");
  EXPECT_EQ(DisplayText("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  // Overlong forms, surrogates and code points past U+10FFFF are not valid UTF-8.
  EXPECT_EQ(DisplayText("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(DisplayText("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(DisplayText("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
  // A sequence cut short at the end of the text.
  EXPECT_EQ(DisplayText("ok\xE2\x82"), "ok\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(DisplayText("\xF0\x9F\x8E\xB5"), "\xF0\x9F\x8E\xB5");
}

TEST(PathText, CutCountsUtf16UnitsAndNeverSplitsACharacter) {
  const std::string a259(259, 'a');
  EXPECT_EQ(CutToUtf16Units(a259, 259), a259);
  EXPECT_EQ(CutToUtf16Units(a259 + "b", 259), a259);
  // "ä" is two bytes but one unit.
  std::string u;
  for (int i = 0; i < 259; ++i) u += "\xC3\xA4";
  EXPECT_EQ(CutToUtf16Units(u + "x", 259), u);
  // A character outside the BMP takes two units: at unit 258 it does not fit whole.
  const std::string note = "\xF0\x9F\x8E\xB5";
  EXPECT_EQ(CutToUtf16Units(std::string(258, 'a') + note, 259), std::string(258, 'a'));
  EXPECT_EQ(CutToUtf16Units(std::string(257, 'a') + note + "z", 259), std::string(257, 'a') + note);
  // A byte that does not decode counts as the one unit shown for it.
  EXPECT_EQ(CutToUtf16Units(std::string(258, 'a') + "\xFF\xFF", 259), std::string(258, 'a') + "\xFF");
}
