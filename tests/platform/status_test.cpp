// What the seam says of a file, and the cancel signal, on whichever system runs it.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

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

// A sweep's statuses, looked up in the folder held open, say what the whole path says, in
// whatever order the paths come: from folder to folder and back, through links, past the
// length a whole path may have, and after the folder itself was replaced while let go.
TEST(FileStatus, StatusesInTheirFolderAreWhatTheWholePathTells) {
  TempDir t;
  const auto a = t.Write("m/a.ogg", "12345");
  const auto b = t.Write("m/b.ogg", "1");
  const auto c = t.Write("n/c.ogg", "123");
  std::string paths[] = {PathToUtf8(a),
                         PathToUtf8(b),
                         PathToUtf8(t / "m" / "gone.ogg"),
                         PathToUtf8(c),
                         PathToUtf8(a),
                         PathToUtf8(a) + "/",
                         PathToUtf8(a / "x.ogg"),
                         PathToUtf8(t / "m") + "//b.ogg",
                         "f.ogg",
                         "/"};
  std::vector<std::string> sweep(std::begin(paths), std::end(paths));
#ifndef _WIN32
  std::filesystem::create_directory_symlink(t / "m", t / "to-m");
  std::filesystem::create_symlink(a, t / "n" / "to-a.ogg");
  std::filesystem::create_symlink(t / "missing", t / "n" / "broken.ogg");
  for (const char* name : {"to-m/a.ogg", "n/to-a.ogg", "n/broken.ogg", "to-m/b.ogg"}) {
    sweep.push_back(PathToUtf8(t / name));
  }
  // A folder whose whole path just fits, and in it a name that fits, and one that takes
  // the whole path past PATH_MAX: that one the run cannot open, so it is not there.
  std::string deep = PathToUtf8(t.path());
  while (deep.size() < PATH_MAX - 20) {
    const std::size_t left = PATH_MAX - 20 - deep.size() - 1;
    deep += "/" + std::string(left > 250 ? 200 : left, 'd');
    std::filesystem::create_directory(PathFromUtf8(deep));
  }
  const std::string longName(30, 'x');
  const int folder = ::open(deep.c_str(), O_PATH | O_DIRECTORY);
  ::close(::openat(folder, "short.ogg", O_CREAT | O_WRONLY, 0644));
  ::close(::openat(folder, longName.c_str(), O_CREAT | O_WRONLY, 0644));
  ::close(folder);
  sweep.push_back(deep + "/short.ogg");
  sweep.push_back(deep + "/" + longName);
  sweep.push_back(PathToUtf8(a));
#endif
  CStatusesInFolder statuses;
  const auto expectSame = [&](const std::string& path) {
    FileStatus whole, inFolder;
    std::error_code wholeError, inFolderError;
    const bool found = StatusOf(path, whole, wholeError);
    EXPECT_EQ(statuses.StatusOf(path, inFolder, inFolderError), found) << path;
    EXPECT_EQ(inFolderError, wholeError) << path;
    if (!found) return;
    EXPECT_EQ(inFolder.kind, whole.kind) << path;
    EXPECT_EQ(std::pair(inFolder.device, inFolder.index), std::pair(whole.device, whole.index))
        << path;
    EXPECT_EQ(inFolder.size, whole.size) << path;
    EXPECT_EQ(inFolder.modifiedNs, whole.modifiedNs) << path;
    EXPECT_EQ(inFolder.changedNs, whole.changedNs) << path;
  };
  for (const std::string& path : sweep) expectSame(path);
  // Once let go, the folder is looked up again: one put in the old one's place is seen.
  std::filesystem::rename(t / "m", t / "old-m");
  t.Write("m/a.ogg", "1234567");
  statuses.Release();
#ifndef _WIN32
  // What it let go of is not its own any more: the number may be another's by now.
  const int other = ::open(PathToUtf8(c).c_str(), O_RDONLY);
  expectSame(PathToUtf8(a));
  statuses.Release();
  EXPECT_NE(::fcntl(other, F_GETFD), -1) << "a descriptor it did not own was closed";
  ::close(other);
#endif
  expectSame(PathToUtf8(a));
  expectSame(PathToUtf8(b));
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
