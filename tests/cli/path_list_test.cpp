#include "cli/path_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace {

using Entries = std::vector<std::string>;
constexpr auto kNewline = PathListSeparator::kNewline;
constexpr auto kCrlf = PathListSeparator::kCrlfOrNewline;
constexpr auto kNul = PathListSeparator::kNul;

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(PathList, EntriesAreTheBytesBetweenSeparators) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string bytes;
    PathListSeparator separator;
    Entries entries;
  } cases[] = {
      {"TrailingNewlineIsNoEntry", "a.ogg\nb c.ogg\n", kNewline, {"a.ogg", "b c.ogg"}},
      {"LastEntryNeedsNoNewline", "a.ogg\nb.ogg", kNewline, {"a.ogg", "b.ogg"}},
      {"BlankLinesArePassedOver", "\n\na.ogg\n\n", kNewline, {"a.ogg"}},
      {"CarriageReturnStaysInTheName", "a.ogg\r\n", kNewline, {"a.ogg\r"}},
      {"CrlfLineEndsLeaveNoCarriageReturn", "a.ogg\r\n\r\nb.ogg\r", kCrlf, {"a.ogg", "b.ogg"}},
      {"OnlyTheLineEndsCarriageReturnGoes", "a\rb.ogg\r\r\n", kCrlf, {"a\rb.ogg\r"}},
      {"CarriageReturnStaysInANulSeparatedName", "a.ogg\r\0"s, kNul, {"a.ogg\r"}},
      {"BytesThatAreNotUtf8", "/m/\xff\xfe.ogg\n", kNewline, {"/m/\xff\xfe.ogg"}},
      {"NulSeparated", "a\nb.ogg\0c.ogg\0"s, kNul, {"a\nb.ogg", "c.ogg"}},
      {"NulSeparatedEmptyEntries", "\0\0a.ogg"s, kNul, {"a.ogg"}},
      {"Empty", "", kNewline, {}},
      {"LeadingBlanksKept", "  a.ogg\n", kNewline, {"  a.ogg"}},
  };
  for (const auto& c : cases) {
    Entries entries{"stale"};
    std::string error;
    EXPECT_TRUE(SplitPathList(c.bytes, c.separator, entries, error)) << c.name << error;
    EXPECT_EQ(entries, c.entries) << c.name;
  }
}

TEST(PathList, AListThatNoPathCanComeFromIsRefusedWithItsName) {
  using namespace std::string_literals;
  TempDir t;
  const auto nulList = t.Write("nul.list", "a.ogg\0b.ogg\0"s);
  const auto unreadable = t.Write("secret.list", "a.ogg\n");
  const struct {
    const char* name;
    std::string file;
    std::string phrase;
  } cases[] = {
      {"Missing", (t / "missing.list").native(), "missing.list: No such file or directory"},
      {"AFolder", t.path().native(), ": Is a directory"},
      {"NulsWithoutMinusZero", nulList.native(), "nul.list: entry 1 holds a NUL byte"},
  };
  const std::size_t descriptors = OpenDescriptors();
  for (const auto& c : cases) {
    Entries entries;
    std::string error;
    EXPECT_FALSE(ReadPathList(c.file, kNewline, entries, error)) << c.name;
    EXPECT_NE(error.find(c.phrase), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(entries.empty()) << c.name;
  }
  Entries entries;
  std::string error;
  ASSERT_TRUE(ReadPathList(nulList.native(), kNul, entries, error)) << error;
  EXPECT_EQ(entries, (Entries{"a.ogg", "b.ogg"}));
  EXPECT_EQ(OpenDescriptors(), descriptors) << "a list read keeps its file open";
}

TEST(PathList, MinusReadsStandardInput) {
  TempDir t;
  const auto list = t.Write("list", "x.ogg\ny.ogg\n");
  const int saved = ::dup(STDIN_FILENO);
  ASSERT_TRUE(std::freopen(list.c_str(), "r", stdin));
  Entries entries;
  std::string error;
  const bool read = ReadPathList("-", kNewline, entries, error);
  EXPECT_NE(::fcntl(STDIN_FILENO, F_GETFD), -1) << "standard input was closed";
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(entries, (Entries{"x.ogg", "y.ogg"}));
}

}  // namespace
