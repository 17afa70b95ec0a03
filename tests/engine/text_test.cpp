// The texts a report is made of: positions, open-failure names, paths shown and cut.

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "filetest/codecs/ogg_check.h"
#include "scan/file_verdict.h"
#include "text/path_text.h"
#include "text/terminal_columns.h"

TEST(PositionText, TruncatesTowardZeroAndNeverFoldsMinutes) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {5.99, "0m 05s"},
      {600, "10m 00s"},
      {10, "0m 10s"},
      {70.5, "1m 10s"},
      {59, "0m 59s"},
      {65.9, "1m 05s"},
      {3725, "62m 05s"},
      {0, "0m 00s"},
      {59.999, "0m 59s"},
      {36000, "600m 00s"},
      // ov_time_tell's error code and values no file has must not overflow or go negative.
      {-131, "0m 00s"},
      {std::numeric_limits<double>::quiet_NaN(), "0m 00s"},
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

// A file that did not open says nothing of its bytes, whatever kept it shut; a path the
// system cannot take says so. Neither is damage to a file (--db's newly damaged, rot).
TEST(OpenFailureNames, APathTooLongIsNamedAndNeitherKindIsDamage) {
  const struct {
    std::error_code error;
    const char* reason;
  } rows[] = {{std::make_error_code(std::errc::filename_too_long), "OPENFILE: path too long"},
              {std::make_error_code(std::errc::no_such_file_or_directory), "OPENFILE"},
              {std::make_error_code(std::errc::permission_denied), "OPENFILE"},
              {FileError::kNotRegular, "OPENFILE"}};
  for (const auto& r : rows) {
    EXPECT_EQ(OpenFileReasonOf(r.error), r.reason) << r.error.message();
    EXPECT_TRUE(IsOpenFileReason(OpenFileReasonOf(r.error))) << r.error.message();
    FileVerdict v;
    v.status = FileVerdict::Status::kError;
    v.reason = OpenFileReasonOf(r.error);
    EXPECT_FALSE(v.IsDecodingFault()) << r.error.message();
  }
  for (const char* other : {"OPENFILEX", "OPENFILE:", "OV_HOLE @ 0m 01s", "", "openfile"}) {
    EXPECT_FALSE(IsOpenFileReason(other)) << other;
    FileVerdict v;
    v.status = FileVerdict::Status::kError;
    v.reason = other;
    EXPECT_TRUE(v.IsDecodingFault()) << other;
  }
}

TEST(PathText, InvalidBytesAndControlCharactersShowAsReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"plain/ä.ogg", "plain/ä.ogg"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      // Overlong forms, surrogates and code points past U+10FFFF are not valid UTF-8.
      {"\xC0\xAF", r + r},
      {"\xED\xA0\x80", r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      // A sequence cut short at the end of the text.
      {"ok\xE2\x82", "ok" + r + r},
      {"\xF0\x9F\x8E\xB5", "\xF0\x9F\x8E\xB5"},
      // A name must not start a report line of its own nor drive the terminal.
      {"a\r\nb.ogg", "a" + r + r + "b.ogg"},
      {"\x1B[2J.ogg", r + "[2J.ogg"},
      {"tab\there", "tab" + r + "here"},
      {std::string("nul\0", 4), "nul" + r},
      {"\x1F\x20\x7E\x7F", r + " ~" + r},
      // Printable ASCII but for one byte at either end of its range.
      {"del\x7F", "del" + r},
      {"\x1Fus", r + "us"},
      // C1 controls, one U+FFFD each; the first characters after them are printable.
      {"\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F", r + r + r + r},
      {"\xC2\xA0\xC2\xA9", "\xC2\xA0\xC2\xA9"},
      // A bidirectional control would turn "...ERROR (...) RORRE...ggo" into "...OK" where
      // text is laid out; the separators would break the line. Each shows as U+FFFD, and
      // the characters on either side of each range stay.
      {"song\xE2\x80\xAEKO...ggo.ogg", "song" + r + "KO...ggo.ogg"},
      {"\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F", r + r + r},
      {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAA\xE2\x80\xAD", r + r + r + r},
      {"\xE2\x81\xA6\xE2\x81\xA9", r + r},
      {"\xD8\x9B\xD8\x9D\xE2\x80\x8D\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
       "\xD8\x9B\xD8\x9D\xE2\x80\x8D\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayText(c.bytes), c.shown) << c.bytes;
    // A report line is built in place: what was there stays.
    std::string line = "[1/2]\t";
    AppendDisplayText(line, c.bytes);
    EXPECT_EQ(line, "[1/2]\t" + c.shown) << c.bytes;
  }
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
  EXPECT_EQ(CutToUtf16Units(std::string(258, 'a') + "\xFF\xFF", 259),
            std::string(258, 'a') + "\xFF");
}

TEST(PathText, AMarkedCutSaysHowMuchItLeftOutAndNeverSplitsACharacter) {
  const std::string note = "\xF0\x9F\x8E\xB5";
  const struct {
    std::string text;
    std::size_t max;
    std::string cut;
  } cases[] = {
      {"abcd", 4, "abcd"},
      {"abcde", 4, "abcd[... 1 more bytes]"},
      {"ab" + note, 4, "ab[... 4 more bytes]"},
      {"ab" + note, 6, "ab" + note},
      {"abc\xFF\xFF", 4, "abc\xFF[... 1 more bytes]"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutMarked(c.text, c.max), c.cut) << c.text;
}

TEST(TerminalColumns, WideCharactersTakeTwoMarksNoneAndTheCutKeepsWholeCharacters) {
  const std::string han = "\xE4\xB8\xAD";       // U+4E2D, wide
  const std::string acute = "\xCC\x81";         // U+0301, combining
  const std::string note = "\xF0\x9F\x8E\xB5";  // U+1F3B5, wide, outside the BMP
  const struct {
    std::string text;
    std::size_t columns;
    std::size_t cutTo;
    std::string cut;
  } cases[] = {
      {"", 0, 0, ""},
      {"abc", 3, 2, "bc"},
      {"abc", 3, 5, "abc"},
      {"a/" + han + han, 6, 4, han + han},
      {"a/" + han + han, 6, 3, han},  // half of a wide character does not fit
      {"e" + acute + "x", 2, 1, "x"},
      {"ae" + acute, 2, 1, "e" + acute},
      {acute + "x", 1, 1, acute + "x"},  // nothing cut, so nothing orphaned
      {"x" + note, 3, 2, note},
      {"\xC3\xA4\xC3\xB6", 2, 1, "\xC3\xB6"},
      {"\xFF\xFEz", 3, 2, "\xFEz"},  // each byte that does not decode: one U+FFFD
      {"a\tb\x1B", 4, 3, "\tb\x1B"},
      {std::string("\0\0", 2), 2, 1, std::string("\0", 1)},  // so is each control character
      // and each bidirectional control or separator, which the terminal gets as U+FFFD
      {"a\xE2\x80\xAE"
       "b\xE2\x80\xA8",
       4, 2, "b\xE2\x80\xA8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayColumns(c.text), c.columns) << c.text;
    EXPECT_EQ(CutToColumnsFromLeft(c.text, c.cutTo), c.cut) << c.text << " to " << c.cutTo;
  }
}
