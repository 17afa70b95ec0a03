// File collection on real folders: order, the dot-folder rule, names, links, given paths.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
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

// What a depth-first walk in the file system's own listing order gives, entering each
// folder (by its path with every link resolved) once, independently of the code under test.
void ExpectedWalk(const fs::path& folder, std::vector<std::string>& out,
                  std::set<fs::path>& entered) {
  if (!entered.insert(fs::canonical(folder)).second) return;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().native();
    if (e.is_directory()) {
      if (name[0] != '.') ExpectedWalk(e.path(), out, entered);
    } else if (IsOggFile(e.path())) {
      out.push_back(e.path().native());
    }
  }
}

std::vector<std::string> ExpectedWalk(const fs::path& folder) {
  std::vector<std::string> out;
  std::set<fs::path> entered;
  ExpectedWalk(folder, out, entered);
  return out;
}

}  // namespace

TEST(IsOggFile, OnlyExactlyOggAfterTheLastDot) {
  const struct {
    const char* path;
    bool ogg;
  } cases[] = {{"a.ogg", true},
               {"a.OGG", true},
               {"Track.OgG", true},
               {"a.b.ogg", true},
               {".ogg", true},
               {"/x.y/.ogg", true},
               {"a.ogg.bak", false},
               {"a.oga", false},
               {"a", false},
               {"track.ogg.tmp", false},
               {"dir.ogg/file", false},
               {"a.oggg", false},
               {"a.og", false},
               {"", false},
               {"ogg", false}};
  for (const auto& c : cases) EXPECT_EQ(IsOggFile(c.path), c.ogg) << c.path;
}

TEST(IsOggFile, EveryOggAudioNameOnlyWhenTheRuleAsksForIt) {
  const struct {
    const char* path;
    bool oggOnly;
    bool anyOggAudio;
  } cases[] = {
      {"a.ogg", true, true},     {"a.OgG", true, true},         {"a.opus", false, true},
      {"a.OPUS", false, true},   {"a.oga", false, true},        {"a.oGA", false, true},
      {".opus", false, true},    {"a.opus.part", false, false}, {"a.opu", false, false},
      {"a.opuss", false, false}, {"a.ogax", false, false},      {"a.og", false, false},
      {"a.spx", false, false},   {"a.ogv", false, false},       {"dir.opus/file", false, false},
      {"opus", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsOggFile(c.path, OggNames::kOggOnly), c.oggOnly) << c.path;
    EXPECT_EQ(IsOggFile(c.path, OggNames::kAnyOggAudio), c.anyOggAudio) << c.path;
  }
}

TEST(ScanFolder, TheNamesRuleReachesFoldersAndGivenFiles) {
  TempDir t;
  for (const char* f : {"lib/a.ogg", "lib/b.OPUS", "lib/sub/c.oga", "lib/d.mp3", "e.opus"}) {
    t.Write(f);
  }
  CFileList ogg;
  AddGivenPath(ogg, t / "lib");
  AddGivenPath(ogg, t / "e.opus");
  EXPECT_EQ(Listed(ogg), std::vector<std::string>{(t / "lib/a.ogg").native()});
  CFileList any;
  AddGivenPath(any, t / "lib", {}, OggNames::kAnyOggAudio);
  AddGivenPath(any, t / "e.opus", {}, OggNames::kAnyOggAudio);
  std::vector<std::string> listed = Listed(any);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{(t / "e.opus").native(), (t / "lib/a.ogg").native(),
                                              (t / "lib/b.OPUS").native(),
                                              (t / "lib/sub/c.oga").native()}));
}

TEST(ScanFolder, DepthFirstInListingOrderSkippingDotFolders) {
  TempDir t;
  for (const char* f :
       {"b.ogg", "a.OGG", "notes.txt", "sub/c.ogg", "sub/deeper/d.ogg", "sub/e.ogg.tmp",
        ".cache/hidden.ogg", "sub/.git/x.ogg", ".dotfile.ogg", "z/y/x/w.ogg",
        "folder.ogg/inside.ogg", "Ünïcödé/ä.ogg", "bad\xFFname.ogg"}) {
    t.Write(f);
  }
  CFileList list;
  ScanFolder(list, t.path());
  EXPECT_EQ(Listed(list), ExpectedWalk(t.path()));
  EXPECT_EQ(list.Count(), 9u);  // every .ogg but the two under dot-folders and the folder itself
  for (const auto& p : Listed(list)) EXPECT_EQ(p.find("hidden"), std::string::npos) << p;
}

TEST(ScanFolder, TrailingSeparatorIsNotDoubledAndMissingFoldersAddNothing) {
  TempDir t;
  t.Write("a.ogg");
  CFileList list;
  ScanFolder(list, fs::path(t.path().native() + "/"));
  ScanFolder(list, t / "missing");
  ScanFolder(list, "");
  EXPECT_EQ(Listed(list), std::vector<std::string>{(t / "a.ogg").native()});
}

TEST(ScanFolder, LinksAreFollowedButEachFolderIsEnteredOnce) {
  // Links to make, from a path in the tree to its target; the files are made first.
  using Links = std::vector<std::pair<std::string, std::string>>;
  Links graph;  // two links from each level to the next: 2^16 ways down to one file
  for (int level = 0; level < 16; ++level) {
    const std::string from = "d" + std::to_string(level) + "/";
    const std::string to = "d" + std::to_string(level + 1);
    graph.push_back({from + "a", to});
    graph.push_back({from + "b", to});
  }
  const struct {
    const char* name;
    std::vector<const char*> files;
    Links links;
    std::size_t listed;
  } cases[] = {
      {"link back up the tree", {"a.ogg", "sub/b.ogg"}, {{"sub/loop", "."}}, 2},
      {"link to itself", {"a.ogg"}, {{"self", "."}}, 1},
      {"two links to one folder", {"x/c.ogg"}, {{"l1", "x"}, {"l2", "x"}}, 1},
      {"a second way into a subfolder", {"sub/b.ogg"}, {{"again", "sub"}}, 1},
      {"graph of links", {"d16/f.ogg"}, graph, 1},
      {"links to files are files",
       {"a.ogg"},
       {{"alias.ogg", "a.ogg"}, {"broken.ogg", "nowhere"}},
       3},
  };
  for (const auto& c : cases) {
    TempDir t;
    for (const char* f : c.files) t.Write(std::string("root/") + f);
    for (const auto& [from, to] : c.links) {
      fs::create_directories((t / "root" / from).parent_path());
      fs::create_symlink(t / "root" / to, t / "root" / from);
    }
    CFileList list;
    ScanFolder(list, t / "root");
    EXPECT_EQ(list.Count(), c.listed) << c.name;
    EXPECT_EQ(Listed(list), ExpectedWalk(t / "root")) << c.name;
  }
}

TEST(AddGivenPath, FolderWalkedOggFileAsGivenOthersIgnored) {
  TempDir t;
  t.Write("lib/x.ogg");
  t.Write("lib/y.txt");
  t.Write("single.Ogg");
  CFileList list;
  AddGivenPath(list, t / "lib");
  AddGivenPath(list, t / "lib/x.ogg");  // a folder and a file inside it: listed twice
  AddGivenPath(list, t / "lib/");       // a folder given again is not entered again
  AddGivenPath(list, t / "single.Ogg");
  AddGivenPath(list, t / "lib/y.txt");
  AddGivenPath(list, t / "missing.ogg");  // counts as a folder, so yields nothing
  AddGivenPath(list, "");
  const std::string lib = (t / "lib").native();
  EXPECT_EQ(Listed(list), (std::vector<std::string>{lib + "/x.ogg", lib + "/x.ogg",
                                                    (t / "single.Ogg").native()}));
  // A new scan starts from a cleared list and enters the folder again.
  list.Clear();
  AddGivenPath(list, t / "lib");
  EXPECT_EQ(Listed(list), std::vector<std::string>{lib + "/x.ogg"});
}

TEST(ScanFolder, EachFolderThatCannotBeReadIsReportedAndTheWalkGoesOn) {
  TempDir t;
  t.Write("a/locked/x.ogg");
  t.Write("a/listless/y.ogg");
  t.Write("b.ogg");
  ::chmod(t.path().c_str(), 0755);
  ::chmod((t / "a").c_str(), 0755);
  ::chmod((t / "a/locked").c_str(), 0);
  ::chmod((t / "a/listless").c_str(), 0111);
  const struct {
    std::string given;
    std::string expected;  // "L path" per file listed, "E path errno" per folder reported
  } cases[] = {
      {t.path(), "E " + (t / "a/listless").native() + " " + std::to_string(EACCES) + "\nE " +
                     (t / "a/locked").native() + " " + std::to_string(EACCES) + "\nL " +
                     (t / "b.ogg").native() + "\n"},
      {t / "a/locked/x.ogg",
       "E " + (t / "a/locked/x.ogg").native() + " " + std::to_string(EACCES) + "\n"},
      {t / "missing", "E " + (t / "missing").native() + " " + std::to_string(ENOENT) + "\n"},
      {t / "b.ogg", "L " + (t / "b.ogg").native() + "\n"},
      {"", ""},
  };
  for (const auto& c : cases) {
    // Permissions do not bind root, so the walk runs as nobody in a child process.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(out[0]);
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
      std::vector<std::string> lines;
      CFileList list;
      AddGivenPath(list, fs::path(c.given), [&](const fs::path& folder, std::error_code error) {
        lines.push_back("E " + folder.native() + " " + std::to_string(error.value()));
      });
      std::sort(lines.begin(), lines.end());  // the order of a listing is the file system's
      for (const auto& p : Listed(list)) lines.push_back("L " + p);
      std::string text;
      for (const auto& line : lines) text += line + "\n";
      ::_exit(::write(out[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(text, c.expected) << c.given;
  }
  ::chmod((t / "a/locked").c_str(), 0700);
  ::chmod((t / "a/listless").c_str(), 0700);
}
