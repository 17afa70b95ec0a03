// What crosses from the worker to the window: only the new tail of the report, the bar
// scaled into an int, and one request to come and take it until it is taken.

#include "ui/view_mailbox.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct Box {
  int plain = 0;
  int urgent = 0;
  CViewMailbox mailbox{[this](bool isUrgent) { ++(isUrgent ? urgent : plain); }};
};

TEST(ViewMailbox, OnlyTheNewTailOfTheReportCrosses) {
  struct Take {
    bool newReport;
    std::string added;
  };
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> posts;  // each inner list is taken at once
    std::vector<Take> takes;
  };
  const Case cases[] = {
      {"a report grows",
       {{""}, {"[1/2]\ta..."}, {"[1/2]\ta...OK"}},
       {{true, ""}, {false, "[1/2]\ta..."}, {false, "OK"}}},
      {"tails taken together add up",
       {{"", "x...", "x...OK\r\n", "x...OK\r\n1 files"}},
       {{true, "x...OK\r\n1 files"}}},
      {"an empty text begins a new report",
       {{"abc"}, {"abcdef", ""}, {"g"}},
       {{false, "abc"}, {true, ""}, {false, "g"}}},
      {"a shorter text begins a new report",
       {{"0 files"}, {"[1/1]"}},
       {{false, "0 files"}, {true, "[1/1]"}}},
      {"the same text again adds nothing", {{"abc"}, {"abc"}}, {{false, "abc"}, {false, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Box box;
    for (std::size_t i = 0; i < c.posts.size(); ++i) {
      for (const std::string& text : c.posts[i]) box.mailbox.PostLogText(text);
      const CViewMailbox::Update u = box.mailbox.Take();
      EXPECT_EQ(u.bNewReport, c.takes[i].newReport) << i;
      EXPECT_EQ(u.strAdded, c.takes[i].added) << i;
    }
  }
}

TEST(ViewMailbox, AsksOnceUntilTakenAndOnceMoreAtOnceForTheButtons) {
  Box box;
  box.mailbox.PostLogText("a");
  box.mailbox.PostProgress(100, true);
  box.mailbox.PostProgress(50, false);
  box.mailbox.PostUpdateButtons();
  box.mailbox.PostUpdateButtons();
  box.mailbox.PostLogText("ab");
  EXPECT_EQ(box.plain, 1);
  EXPECT_EQ(box.urgent, 1);
  const CViewMailbox::Update u = box.mailbox.Take();
  EXPECT_TRUE(u.bButtons && u.bRange && u.bPosition);
  EXPECT_EQ(u.strAdded, "ab");
  EXPECT_EQ(u.nBarPos, 50);

  box.mailbox.PostUpdateButtons();  // alone: the urgent request only
  box.mailbox.PostLogText("abc");
  EXPECT_EQ(box.plain, 1);
  EXPECT_EQ(box.urgent, 2);
  box.mailbox.Take();
  box.mailbox.PostProgress(50, false);  // the bar would not move
  EXPECT_EQ(box.plain, 1);
  EXPECT_FALSE(box.mailbox.Take().bPosition);
}

TEST(ViewMailbox, TheBarGoesFromEmptyToFullForAnyLength) {
  const int64_t big = (int64_t{1} << 33) + 12345;
  struct Case {
    const char* name;
    int64_t range, position;
    int barMax, barPos;
  };
  const Case cases[] = {
      {"short file, half way", 1000, 500, 1000, 500},
      {"longest that fits, full", INT_MAX, INT_MAX, INT_MAX, INT_MAX},
      {"past 2^31, full", big, big, int(big >> 3), int(big >> 3)},
      {"past 2^31, half way", big, big / 2, int(big >> 3), int((big / 2) >> 3)},
      {"past 2^62, full", INT64_MAX, INT64_MAX, INT_MAX, INT_MAX},
      {"decoded more than the length said", 1000, 1500, 1000, 1000},
      {"no length", 0, 700, 0, 0},
      {"a negative length", -5, 10, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Box box;
    box.mailbox.PostProgress(c.range, true);
    box.mailbox.PostProgress(c.position, false);
    const CViewMailbox::Update u = box.mailbox.Take();
    EXPECT_EQ(u.nBarMax, c.barMax);
    EXPECT_EQ(u.nBarPos, c.barPos);
  }
}

}  // namespace
