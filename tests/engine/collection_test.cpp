// File collection on real folders: order, the dot-folder rule, names, links, given paths.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "scan/file_collection.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Listed(const CFileList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; auto e = list.Take(i); ++i) out.push_back(e->path.native());
  return out;
}

// What a depth-first walk in the file system's own listing order gives, independently of
// the code under test.
void ExpectedWalk(const fs::path& folder, std::vector<std::string>& out) {
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().native();
    if (e.is_directory()) {
      if (name[0] != '.') ExpectedWalk(e.path(), out);
    } else if (IsOggFile(e.path())) {
      out.push_back(e.path().native());
    }
  }
}

}  // namespace

TEST(IsOggFile, OnlyExactlyOggAfterTheLastDot) {
  const struct {
    const char* path;
    bool ogg;
  } cases[] = {{"a.ogg", true},          {"a.OGG", true},        {"Track.OgG", true},
               {"a.b.ogg", true},        {".ogg", true},         {"/x.y/.ogg", true},
               {"a.ogg.bak", false},     {"a.oga", false},       {"a", false},
               {"track.ogg.tmp", false}, {"dir.ogg/file", false}, {"a.oggg", false},
               {"a.og", false},          {"", false},            {"ogg", false}};
  for (const auto& c : cases) EXPECT_EQ(IsOggFile(c.path), c.ogg) << c.path;
}

TEST(ScanFolder, DepthFirstInListingOrderSkippingDotFolders) {
  TempDir t;
  for (const char* f : {"b.ogg", "a.OGG", "notes.txt", "sub/c.ogg", "sub/deeper/d.ogg", "sub/e.ogg.tmp",
                        ".cache/hidden.ogg", "sub/.git/x.ogg", ".dotfile.ogg", "z/y/x/w.ogg",
                        "folder.ogg/inside.ogg", "Ünïcödé/ä.ogg", "bad\xFFname.ogg"}) {
    t.Write(f);
  }
  CFileList list;
  ScanFolder(list, t.path());
  std::vector<std::string> expected;
  ExpectedWalk(t.path(), expected);
  EXPECT_EQ(Listed(list), expected);
  EXPECT_EQ(list.Count(), 9u);  // every .ogg but the two under dot-folders and the folder itself
  for (const auto& p : Listed(list)) EXPECT_EQ(p.find("hidden"), std::string::npos) << p;
}

TEST(ScanFolder, TrailingSeparatorIsNotDoubledAndMissingFoldersAddNothing) {
  TempDir t;
  t.Write("a.ogg");
  CFileList list;
  ScanFolder(list, t.path().native() + "/");
  ScanFolder(list, t / "missing");
  ScanFolder(list, "");
  EXPECT_EQ(Listed(list), std::vector<std::string>{(t / "a.ogg").native()});
}

TEST(ScanFolder, LinksBackUpTheTreeAreEnteredOnceAndOtherLinksAreFollowed) {
  TempDir t;
  t.Write("music/a.ogg");
  t.Write("music/sub/b.ogg");
  fs::create_directory_symlink(t / "music", t / "music/sub/loop");  // back up the tree
  fs::create_directory_symlink(t / "music/sub", t / "music/again");  // a second way in
  fs::create_symlink(t / "music/a.ogg", t / "music/alias.ogg");
  fs::create_symlink(t / "nowhere", t / "music/broken.ogg");
  CFileList list;
  ScanFolder(list, t / "music");
  std::vector<std::string> got = Listed(list);
  std::sort(got.begin(), got.end());
  const std::string m = (t / "music").native();
  EXPECT_EQ(got, (std::vector<std::string>{m + "/a.ogg", m + "/again/b.ogg", m + "/alias.ogg",
                                           m + "/broken.ogg", m + "/sub/b.ogg"}));
}

TEST(AddGivenPath, FolderWalkedOggFileAsGivenOthersIgnored) {
  TempDir t;
  t.Write("lib/x.ogg");
  t.Write("lib/y.txt");
  t.Write("single.Ogg");
  CFileList list;
  AddGivenPath(list, t / "lib");
  AddGivenPath(list, t / "lib/x.ogg");  // a folder and a file inside it: listed twice
  AddGivenPath(list, t / "single.Ogg");
  AddGivenPath(list, t / "lib/y.txt");
  AddGivenPath(list, t / "missing.ogg");  // counts as a folder, so yields nothing
  AddGivenPath(list, "");
  const std::string lib = (t / "lib").native();
  EXPECT_EQ(Listed(list), (std::vector<std::string>{lib + "/x.ogg", lib + "/x.ogg",
                                                    (t / "single.Ogg").native()}));
}

TEST(ScanFolder, UnreadableFolderAddsNothingAndTheWalkGoesOn) {
  TempDir t;
  t.Write("a/locked/x.ogg");
  t.Write("b.ogg");
  ::chmod(t.path().c_str(), 0755);
  ::chmod((t / "a").c_str(), 0755);
  ::chmod((t / "a/locked").c_str(), 0);
  // Permissions do not bind root, so the walk runs as nobody in a child process.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    CFileList list;
    ScanFolder(list, t.path());
    std::string listed;
    for (const auto& p : Listed(list)) listed += p + "\n";
    ::_exit(::write(out[1], listed.data(), listed.size()) == ssize_t(listed.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string listed;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) listed.append(buffer, std::size_t(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod((t / "a/locked").c_str(), 0700);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(listed, (t / "b.ogg").native() + "\n");
}
