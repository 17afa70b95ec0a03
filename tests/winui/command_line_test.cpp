// The command line as the window receives it: what follows the program's name, then one
// path with its double quotes removed.

#include "winui/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TailCase {
  const char* fault;
  const wchar_t* line;
  const wchar_t* tail;
};

TEST(CommandLine, TheTailFollowsTheProgramsNameByTheStartUpRule) {
  const TailCase cases[] = {
      {"a quoted name runs to its closing quote, blanks inside and all",
       LR"("C:\Program Files\Harrowbit\harrowbit.exe" D:\Music)", LR"(D:\Music)"},
      {"an unquoted name ends at the first blank", LR"(harrowbit.exe D:\Music)", LR"(D:\Music)"},
      {"every control character and blank after the name is skipped",
       L"harrowbit.exe \t\x01  \"D:\\My Music\"", L"\"D:\\My Music\""},
      {"an unclosed quoted name takes the whole line", L"\"harrowbit.exe D:\\Music", L""},
      {"no argument leaves nothing", L"harrowbit.exe", L""},
      {"blanks at the end of the tail stay", L"harrowbit.exe a b ", L"a b "},
      {"a quote inside an unquoted name is the name's", L"harrowbit.exe\"D:\\x\" y", L"y"},
      {"several arguments stay one text", L"harrowbit.exe \"a b\" \"c\"", L"\"a b\" \"c\""},
  };
  for (const TailCase& c : cases) {
    EXPECT_EQ(std::wstring(CommandLineTail(c.line)), c.tail) << c.fault;
  }
}

TEST(CommandLine, EveryDoubleQuoteIsRemovedWhereverItStands) {
  EXPECT_EQ(WithoutQuotes(L"\"D:\\My Music\""), L"D:\\My Music");
  EXPECT_EQ(WithoutQuotes(L"\"a b\" \"c\""), L"a b c");
  EXPECT_EQ(WithoutQuotes(L"D:\\\"odd\"\\x"), L"D:\\odd\\x");
  EXPECT_EQ(WithoutQuotes(L"\"\""), L"");
}

}  // namespace
