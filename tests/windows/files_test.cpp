// Files and folders on Windows, through the platform seam: collection in the file
// system's order with wide names, identity of folders, the file test opening wide paths,
// paths longer than MAX_PATH opened and listed whole, and zero-filled tails. The same rules as
// tests/engine on POSIX.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "filetest/bytes/bounded_file.h"
#include "filetest/codecs/ogg_check.h"
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "platform/read_file.h"
#include "scan/file_collection.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using testgen::Damage;

namespace {

std::vector<std::string> Listed(const CFileList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; auto e = list.Take(i); ++i) out.push_back(PathToUtf8(e->path));
  return out;
}

// A depth-first walk in the order std::filesystem lists (FindFirstFileW underneath),
// entering each folder (by its path with every link resolved) once.
void ExpectedWalk(const fs::path& folder, std::vector<std::string>& out,
                  std::set<fs::path>& entered) {
  if (!entered.insert(fs::canonical(folder)).second) return;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = PathToUtf8(e.path().filename());
    if (e.is_directory()) {
      if (name[0] != '.') ExpectedWalk(e.path(), out, entered);
    } else if (IsOggFile(e.path())) {
      out.push_back(PathToUtf8(e.path()));
    }
  }
}

std::vector<std::string> ExpectedWalk(const fs::path& folder) {
  std::vector<std::string> out;
  std::set<fs::path> entered;
  ExpectedWalk(folder, out, entered);
  return out;
}

std::string Check(COggCheck& check, const fs::path& path) {
  if (!check.Open(path)) return check.m_strError;
  int r = 0;
  while ((r = check.DecodeStep()) > 0) {
  }
  return r == 0 ? "OK" : check.m_strError;
}

// Beyond any ANSI code page: a CJK name, an accent, a character outside the BMP.
const char* const kWideName = "\xE6\x9B\xB2 caf\xC3\xA9 \xF0\x9F\x8E\xB5";

}  // namespace

TEST(WindowsCollection, DepthFirstInListingOrderWithWideNamesAndBackslashes) {
  TempDir t;
  for (const char* f : {"b.ogg", "a.OGG", "notes.txt", "sub/c.ogg", "sub/deeper/d.ogg",
                        "sub/e.ogg.tmp", ".cache/hidden.ogg", "sub/.git/x.ogg", ".dotfile.ogg",
                        "folder.ogg/inside.ogg", "\xC3\x9Cn\xC3\xAF/\xC3\xA4.ogg"}) {
    t.Write(f);
  }
  t.Write(std::string(kWideName) + ".ogg");
  t.Write(std::string(kWideName) + "/inside.ogg");
  CFileList list;
  ScanFolder(list, t.path());
  const std::vector<std::string> listed = Listed(list);
  EXPECT_EQ(listed, ExpectedWalk(t.path()));
  EXPECT_EQ(list.Count(), 9u);
  const std::string root = PathToUtf8(t.path());
  for (const std::string& p : listed) {
    EXPECT_EQ(p.compare(0, root.size() + 1, root + "\\"), 0) << p;
    EXPECT_EQ(p.find('/'), std::string::npos) << p;
    EXPECT_EQ(p.find("hidden"), std::string::npos) << p;
  }
  EXPECT_NE(std::find(listed.begin(), listed.end(), root + "\\" + kWideName + ".ogg"),
            listed.end());
}

TEST(WindowsCollection, SeparatorsNotDoubledMissingFoldersReportedGivenPathsAsOnPosix) {
  TempDir t;
  t.Write("lib/x.ogg");
  t.Write("lib/y.txt");
  t.Write("single.Ogg");
  const std::string lib = PathToUtf8(t / "lib");
  std::vector<std::string> unreadable;
  const auto sink = [&](const fs::path& folder, std::error_code error) {
    EXPECT_TRUE(error) << PathToUtf8(folder);
    unreadable.push_back(PathToUtf8(folder));
  };
  CFileList list;
  AddGivenPath(list, PathFromUtf8(lib + "\\"), sink);
  AddGivenPath(list, t / "lib" / "x.ogg", sink);
  AddGivenPath(list, PathFromUtf8(lib + "/"), sink);  // entered already
  AddGivenPath(list, t / "single.Ogg", sink);
  AddGivenPath(list, t / "lib" / "y.txt", sink);
  AddGivenPath(list, t / "missing.ogg", sink);
  AddGivenPath(list, "", sink);
  EXPECT_EQ(Listed(list), (std::vector<std::string>{lib + "\\x.ogg", lib + "\\x.ogg",
                                                    PathToUtf8(t / "single.Ogg")}));
  EXPECT_EQ(unreadable, std::vector<std::string>{PathToUtf8(t / "missing.ogg")});
  list.Clear();
  ScanFolder(list, t / "lib");
  EXPECT_EQ(Listed(list), std::vector<std::string>{lib + "\\x.ogg"});
}

TEST(WindowsCollection, LinksToFoldersAreFollowedButEachFolderIsEnteredOnce) {
  TempDir t;
  t.Write("root/a.ogg");
  t.Write("root/x/c.ogg");
  // libstdc++ makes no links on Windows; the system does. Wine 8 reports success and makes
  // none, so a link counts as made once it is there.
  const auto link = [](const fs::path& target, const fs::path& at) {
    ::CreateSymbolicLinkW(
        at.c_str(), target.c_str(),
        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    return ::GetFileAttributesW(at.c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  if (!link(t / "root" / "x", t / "root" / "l1")) {
    GTEST_SKIP() << "no directory links can be made here (Developer Mode or Wine 8)";
  }
  ASSERT_TRUE(link(t / "root" / "x", t / "root" / "l2"));
  ASSERT_TRUE(link(t / "root", t / "root" / "x" / "up"));
  // Reached only through a link: listed only if links are followed.
  t.Write("elsewhere/e.ogg");
  ASSERT_TRUE(link(t / "elsewhere", t / "root" / "l3"));
  CFileList list;
  ScanFolder(list, t / "root");
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_EQ(Listed(list), ExpectedWalk(t / "root"));
}

TEST(WindowsFileStatus, FoldersFilesAndIdentity) {
  TempDir t;
  const fs::path file = t.Write("f.ogg", "12345");
  FileStatus a, b, folder;
  std::error_code error;
  ASSERT_TRUE(StatusOf(PathToUtf8(file), a, error)) << error.message();
  ASSERT_TRUE(StatusOf(PathToUtf8(t.path()) + "\\.\\f.ogg", b, error)) << error.message();
  ASSERT_TRUE(StatusOf(PathToUtf8(t.path()), folder, error)) << error.message();
  EXPECT_EQ(a.kind, FileStatus::Kind::kRegular);
  EXPECT_EQ(folder.kind, FileStatus::Kind::kFolder);
  EXPECT_EQ(a.size, 5);
  EXPECT_EQ(std::pair(a.device, a.index), std::pair(b.device, b.index));
  EXPECT_NE(std::pair(a.device, a.index), std::pair(folder.device, folder.index));
  // Since 1970 and not in the future by more than a day.
  const int64_t now = static_cast<int64_t>(time(nullptr)) * 1000000000;
  EXPECT_GT(a.modifiedNs, now - int64_t{86400} * 1000000000);
  EXPECT_LT(a.modifiedNs, now + int64_t{86400} * 1000000000);
  EXPECT_FALSE(StatusOf(PathToUtf8(t / "missing"), a, error));
  EXPECT_TRUE(error);
}

TEST(WindowsFileTest, EachKindOfDamageGivesTheTextItGivesOnPosix) {
  TempDir t;
  const struct {
    Damage damage;
    const char* text;
  } cases[] = {
      {Damage::kClean, "OK"},
      {Damage::kDropPage, "OV_HOLE @ 0m 04s"},
      {Damage::kFlipByte, "OV_HOLE @ 0m 04s"},
      {Damage::kRenumberPage, "OV_HOLE @ 0m 04s"},
      {Damage::kCutLastPage, "TRUNCATED @ 0m 09s"},
      {Damage::kCorruptLastPage, "TRUNCATED @ 0m 09s"},
      {Damage::kCutMidFile, "TRUNCATED @ 0m 04s"},
      {Damage::kCutAfterHeaders, "TRUNCATED @ 0m 00s"},
      {Damage::kForeignPage, "OK"},
      {Damage::kChained, "OK"},
      {Damage::kChainFirstLinkNoEos, "OK"},
      {Damage::kNotOgg, "OV_ENOTVORBIS"},
      {Damage::kEmpty, "OV_ENOTVORBIS"},
      {Damage::kBadIdHeader, "OV_EBADHEADER"},
  };
  for (const auto& made : testgen::AllCases({.channels = 2, .rate = 44100, .seconds = 10.0})) {
    ASSERT_TRUE(testgen::WriteBytes(t / made.fileName, made.bytes));
  }
  COggCheck check;
  for (const auto& c : cases) {
    const auto path = t / testgen::CaseFileName(c.damage);
    EXPECT_EQ(Check(check, path), c.text) << PathToUtf8(path);
  }
}

TEST(WindowsFileTest, OpensByWidePathAndOnlyRegularFiles) {
  TempDir t;
  const auto bytes = testgen::EncodeTone({.seconds = 1});
  const fs::path wide = PathFromUtf8(PathToUtf8(t.path()) + "\\" + kWideName + ".ogg");
  ASSERT_TRUE(testgen::WriteBytes(wide, bytes));
  fs::create_directory(t / "folder.ogg");
  COggCheck check;
  EXPECT_EQ(Check(check, wide), "OK");
  EXPECT_EQ(Check(check, t / "folder.ogg"), "OPENFILE");
  EXPECT_EQ(Check(check, t / "missing.ogg"), "OPENFILE");
  EXPECT_EQ(Check(check, "\\\\.\\pipe\\harrowbit-none.ogg"), "OPENFILE");
  EXPECT_FALSE(check.IsOpen());
}

TEST(WindowsFileTest, PathsOfAnyLengthAreOpenedWhole) {
  TempDir t;
  const auto bytes = testgen::EncodeTone({.seconds = 1});
  // A path of exactly 259 UTF-16 units, the last of them a character outside the BMP
  // (two units), and longer ones that begin with it.
  std::string exact = PathToUtf8(t.path()) + "\\";
  const std::string tail = "\xF0\x9F\x8E\xB5.ogg";  // 6 units
  const std::size_t rootUnits = t.path().native().size() + 1;
  ASSERT_LT(rootUnits + 6, 259u);
  exact += std::string(259 - rootUnits - 6, 'n') + tail;
  ASSERT_EQ(PathFromUtf8(exact).native().size(), 259u);
  ASSERT_TRUE(testgen::WriteBytes(PathFromUtf8(exact), bytes));
  COggCheck check;
  EXPECT_TRUE(check.Open(PathFromUtf8(exact))) << check.m_strError;
  EXPECT_FALSE(check.Open(PathFromUtf8(exact + "trailing")));
  EXPECT_EQ(check.m_strError, "OPENFILE");
  // Past what even "\\?\" paths hold (32,767 units): the path's fault, named.
  std::string tooLong = PathToUtf8(t.path());
  while (tooLong.size() < 33000) tooLong += "\\" + std::string(200, 'p');
  EXPECT_FALSE(check.Open(PathFromUtf8(tooLong)));
  EXPECT_EQ(check.m_strError, "OPENFILE: path too long");
}

// An album three folders deep with long names: a clean file under a path of 300+ units
// whose first 259 units name a damaged file. Listed from its folder and checked by its
// whole path, each file gets its own verdict.
TEST(WindowsFileTest, LongPathsAreListedAndCheckedWhole) {
  TempDir t;
  // Made through "\\?\": the C++ library's own calls stop at MAX_PATH.
  const auto made = [](const std::string& utf8) { return PathFromUtf8("\\\\?\\" + utf8); };
  const std::string root = PathToUtf8(t.path()) + "\\" + std::string(100, 'a');
  const std::size_t rootUnits = PathFromUtf8(root).native().size();
  const std::string damaged = root + "\\" + std::string(259 - rootUnits - 1 - 4, 'd') + ".ogg";
  ASSERT_EQ(PathFromUtf8(damaged).native().size(), 259u);
  const std::string album = damaged + " (Deluxe Edition)\\" + std::string(60, 'c');
  const std::string clean = album + "\\" + std::string(40, 't') + ".ogg";
  ASSERT_GT(clean.size(), 300u);
  fs::create_directories(made(album));
  ASSERT_TRUE(testgen::WriteBytes(made(damaged), testgen::MakeCase(Damage::kCutMidFile, {})));
  ASSERT_TRUE(testgen::WriteBytes(made(clean), testgen::EncodeTone({.seconds = 1})));

  CFileList list;
  ScanFolder(list, PathFromUtf8(root));
  std::vector<std::string> listed = Listed(list);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{damaged, clean}));
  COggCheck check;
  EXPECT_EQ(Check(check, PathFromUtf8(clean)), "OK");
  EXPECT_EQ(Check(check, PathFromUtf8(damaged)).substr(0, 9), "TRUNCATED");
  FileStatus status;
  std::error_code error;
  EXPECT_TRUE(StatusOf(clean, status, error)) << error.message();
  EXPECT_EQ(status.kind, FileStatus::Kind::kRegular);
  std::error_code ignored;
  fs::remove_all(made(root), ignored);
}

TEST(WindowsFileTest, ZerosAfterTheDataEndTheViewOnePageLaterAndLeaveTheVerdict) {
  TempDir t;
  const auto clean = testgen::EncodeTone({.seconds = 2});
  const auto cut = testgen::MakeCase(Damage::kCutMidFile, {.seconds = 2});
  for (const auto& [name, bytes] : {std::pair{"clean", clean}, std::pair{"cut", cut}}) {
    auto padded = bytes;
    padded.insert(padded.end(), std::size_t{3} << 20, 0);
    const fs::path plain = t / (std::string(name) + ".ogg");
    const fs::path path = t / (std::string(name) + "-padded.ogg");
    ASSERT_TRUE(testgen::WriteBytes(plain, bytes));
    ASSERT_TRUE(testgen::WriteBytes(path, padded));
    CReadFile file;
    ASSERT_EQ(file.OpenRegular(PathToUtf8(path)), std::error_code());
    EXPECT_EQ(file.Size(), static_cast<int64_t>(padded.size()));
    EXPECT_EQ(OggViewEnd(file.Native(), file.Size()),
              static_cast<int64_t>(bytes.size()) + kMaxOggPageBytes)
        << name;
    COggCheck check;
    const std::string verdict = Check(check, plain);
    EXPECT_EQ(Check(check, path), verdict) << name;
    EXPECT_EQ(verdict == "OK", name == std::string("clean")) << verdict;
  }
}
