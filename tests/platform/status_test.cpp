// What the seam says of a file, and the cancel signal, on whichever system runs it.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

#include <chrono>
#include <filesystem>

#include "platform/cancel_signal.h"
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "tests/support/temp_dir.h"

namespace {

bool IsRaised(NativeWaitable waitable) {
#ifdef _WIN32
  return ::WaitForSingleObject(waitable, 0) == WAIT_OBJECT_0;
#else
  pollfd p{waitable, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
#endif
}

}  // namespace

TEST(FileStatus, KindSizeIdentityAndTimesOfWhatThePathNames) {
  TempDir t;
  const auto file = t.Write("f.ogg", "12345");
  const auto other = t.Write("g.ogg", "1");
  const auto when = std::filesystem::file_time_type::clock::now() - std::chrono::hours(50);
  std::filesystem::last_write_time(file, when);
  FileStatus f, again, g, folder;
  std::error_code error;
  ASSERT_TRUE(StatusOf(PathToUtf8(file), f, error)) << error.message();
  ASSERT_TRUE(StatusOf(PathToUtf8(file), again, error));
  ASSERT_TRUE(StatusOf(PathToUtf8(other), g, error));
  ASSERT_TRUE(StatusOf(PathToUtf8(t.path()), folder, error));
  EXPECT_EQ(f.kind, FileStatus::Kind::kRegular);
  EXPECT_EQ(folder.kind, FileStatus::Kind::kFolder);
  EXPECT_EQ(f.size, 5);
  EXPECT_EQ(g.size, 1);
  EXPECT_EQ(std::pair(f.device, f.index), std::pair(again.device, again.index));
  EXPECT_NE(f.index, g.index);
  // The write time set above, to the second; the change time is now, not 50 hours ago.
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t hour = int64_t{3600} * 1000000000;
  EXPECT_LT(f.modifiedNs, now - 49 * hour);
  EXPECT_GT(f.modifiedNs, now - 51 * hour);
  EXPECT_GT(f.changedNs, now - hour);
  EXPECT_FALSE(StatusOf(PathToUtf8(t / "missing"), f, error));
  EXPECT_TRUE(error);
}

// The kind alone, which collection asks of every given path: what StatusOf says, links
// followed, and a path that names nothing fails with the same reason.
TEST(FileStatus, KindOfTellsWhatStatusOfTells) {
  TempDir t;
  const auto file = t.Write("f.ogg", "12345");
  std::filesystem::create_directory(t / "sub");
  const struct {
    const char* name;
    std::filesystem::path path;
    bool found;
    FileStatus::Kind kind;
  } cases[] = {
      {"a file", file, true, FileStatus::Kind::kRegular},
      {"a folder", t / "sub", true, FileStatus::Kind::kFolder},
      {"a folder named with a separator at its end", PathFromUtf8(PathToUtf8(t / "sub") + "/"),
       true, FileStatus::Kind::kFolder},
      {"nothing", t / "missing", false, FileStatus::Kind::kOther},
      {"nothing under a file", file / "x.ogg", false, FileStatus::Kind::kOther},
  };
  for (const auto& c : cases) {
    FileStatus::Kind kind = FileStatus::Kind::kOther;
    FileStatus status;
    std::error_code kindError, statusError;
    EXPECT_EQ(KindOf(PathToUtf8(c.path), kind, kindError), c.found) << c.name;
    EXPECT_EQ(StatusOf(PathToUtf8(c.path), status, statusError), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(kind, c.kind) << c.name;
      EXPECT_EQ(status.kind, c.kind) << c.name;
    } else {
      EXPECT_TRUE(IsMissing(kindError)) << c.name << ": " << kindError.message();
      EXPECT_EQ(kindError, statusError) << c.name;
    }
  }
}

TEST(CancelSignal, RaisedUntilClearedAndRaisedAgainAfter) {
  CCancelSignal signal;
  EXPECT_FALSE(IsRaised(signal.Waitable()));
  signal.Raise();
  signal.Raise();
  EXPECT_TRUE(IsRaised(signal.Waitable()));
  signal.Clear();
  EXPECT_FALSE(IsRaised(signal.Waitable()));
  signal.Raise();
  EXPECT_TRUE(IsRaised(signal.Waitable()));
}
