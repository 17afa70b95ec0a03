// harrowbit-cli with a results database, from outside: what a nightly sweep relies on.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "tests/cli/run_cli.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/wait.h"

namespace {

using testgen::Damage;

class DbCli : public ::testing::Test {
 protected:
  std::string Make(Damage d, const std::string& name, double seconds = 1) {
    const auto p = m_dir / name;
    std::filesystem::create_directories(p.parent_path());
    testgen::WriteBytes(p, testgen::MakeCase(d, {.channels = 1, .rate = 8000, .seconds = seconds}));
    return p.native();
  }
  std::string Db() const { return (m_dir / "lib.db").native(); }
  TempDir m_dir;
};

// One JSON line's value for `key`, as text, by Python so that the test reads JSON as a
// script would.
std::map<std::string, std::string> FileLines(const TempDir& t, const std::string& json,
                                             const std::string& field) {
  const auto in = t / "lines.json";
  std::ofstream(in) << json;
  const auto script = t / "field.py";
  std::ofstream(script) << "import json, sys\n"
                           "for l in open(sys.argv[1]):\n"
                           "    o = json.loads(l)\n"
                           "    if o['type'] == 'file':\n"
                           "        print(o['path'] + '\\t' + json.dumps(o.get(sys.argv[2])))\n";
  const CliRun r = RunCommand(t, {"python3", script.native(), in.native(), field});
  std::map<std::string, std::string> values;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    EXPECT_TRUE(values.emplace(line.substr(0, tab), line.substr(tab + 1)).second)
        << "named twice: " << line;
  }
  return values;
}

}  // namespace

TEST_F(DbCli, UnchangedFilesAreTakenFromTheDatabaseAndRotIsNamed) {
  const std::string kept = Make(Damage::kClean, "lib/kept.ogg");
  const std::string rotted = Make(Damage::kClean, "lib/rotted.ogg");
  const std::string rewritten = Make(Damage::kClean, "lib/rewritten.ogg");
  const std::string lib = (m_dir / "lib").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), lib}).status, 0);

  // The bytes of one go bad under the same time stamp; another is written anew, damaged.
  struct stat st {};
  ASSERT_EQ(::stat(rotted.c_str(), &st), 0);
  testgen::WriteBytes(
      rotted, testgen::MakeCase(Damage::kFlipByte, {.channels = 1, .rate = 8000, .seconds = 1}));
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, rotted.c_str(), times, 0), 0);
  testgen::WriteBytes(rewritten, testgen::MakeCase(Damage::kCutMidFile,
                                                   {.channels = 1, .rate = 8000, .seconds = 1}));

  // A check that decodes everything again sees the rot; only the file's own bytes changed.
  const CliRun r = RunCli(m_dir, {"--db", Db(), "--json", lib});
  EXPECT_EQ(r.status, 1);
  const auto was = FileLines(m_dir, r.out, "was");
  EXPECT_NE(was.at(rotted).find("\"verdict\": \"ok\""), std::string::npos) << was.at(rotted);
  EXPECT_EQ(was.at(rewritten), "null") << "a file written anew has not rotted";
  EXPECT_EQ(was.at(kept), "null");
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
            "harrowbit-cli: newly damaged since its last check: 1 files\n");
  EXPECT_NE(r.err.find("  " + rotted + " (OK at "), std::string::npos) << r.err;

  // Unchanged since: every verdict comes from the database, and the report reads as a
  // fresh check's.
  const CliRun again = RunCli(m_dir, {"--db", Db(), "--skip-checked", "90", "--json", lib});
  for (const auto& [path, fromDb] : FileLines(m_dir, again.out, "from_db")) {
    EXPECT_EQ(fromDb, "true") << path;
  }
  EXPECT_EQ(RunCli(m_dir, {"--db", Db(), "--skip-checked", "90", "-j1", lib}).out,
            RunCli(m_dir, {"-j1", lib}).out);
}

TEST_F(DbCli, AfterKillNineTheResumedSweepDecodesOnlyWhatWasNotRecorded) {
  for (int i = 0; i < 8; ++i) Make(Damage::kClean, "lib/a" + std::to_string(i) + ".ogg", 0.5);
  Make(Damage::kDropPage, "lib/a8.ogg", 0.5);
  const std::string lib = (m_dir / "lib").native();
  const std::string single = RunCli(m_dir, {"-j1", "--json", lib}).out;
  // Given last, so that it is decoded last whatever order the folder lists.
  const std::string stuck = Make(Damage::kDropPage, "long/z.ogg", 600);
  const std::string longer = (m_dir / "long").native();

  RunCli(m_dir, {"--db", Db(), "-j1", lib, longer}, [&](pid_t pid) {
    // Nine verdicts out, the helper held on the long file, the nine committed: then the
    // power goes.
    ASSERT_TRUE(testsupport::WaitFor([&] {
      const std::string out = ReadAll(m_dir / "stdout");
      return std::count(out.begin(), out.end(), '\n') >= 9;
    })) << "the sweep did not get under way";
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::istringstream children(ReadAll(e.path() / "children"));
      for (pid_t child; children >> child;) ::kill(child, SIGSTOP);
    }
    // Read aside, by sqlite3, while the sweep holds the database.
    const std::string count = "sqlite3 '" + Db() + "' 'SELECT count(*) FROM files'";
    EXPECT_TRUE(testsupport::WaitFor([&] {
      FILE* p = ::popen(count.c_str(), "r");
      char line[32] = {};
      const bool nine =
          p != nullptr && std::fgets(line, sizeof line, p) != nullptr && std::string(line) == "9\n";
      if (p != nullptr) ::pclose(p);
      return nine;
    })) << "the nine verdicts were never committed";
    ::kill(pid, SIGKILL);
  });

  const CliRun resumed =
      RunCli(m_dir, {"--db", Db(), "--skip-checked", "90", "-j2", "--json", lib, longer});
  const auto fromDb = FileLines(m_dir, resumed.out, "from_db");
  const auto verdicts = FileLines(m_dir, resumed.out, "verdict");
  const auto alone = FileLines(m_dir, single, "verdict");
  for (const auto& [path, verdict] : alone) {
    EXPECT_EQ(verdicts.at(path), verdict) << path;
    EXPECT_EQ(fromDb.at(path), "true") << path << " was decoded again";
  }
  EXPECT_EQ(fromDb.at(stuck), "null");
  // Decoded ahead on two helpers while the others came from the database: its own verdict.
  EXPECT_EQ(verdicts.at(stuck), "\"error\"");
}

TEST_F(DbCli, FaultsOfTheDatabaseOrTheListAreNeverSuccess) {
  const std::string clean = Make(Damage::kClean, "lib/a.ogg");
  m_dir.Write("garbage.db", std::string(4096, 'x'));
  m_dir.Write("list0", clean + '\0' + (m_dir / "missing.ogg").native() + '\0');
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string errStart;
  } cases[] = {
      {"not a database: nothing is scanned",
       {"--db", (m_dir / "garbage.db").native(), clean},
       2,
       "",
       "harrowbit-cli: results database " + (m_dir / "garbage.db").native()},
      {"a time budget spent: no new file, what was left is said, exit by what was found",
       {"--budget", "0s", clean},
       0,
       "0 files, 0 errors\nStopped by the time budget: 1 of 1 files not checked\n",
       ""},
      {"a list with a path that is not there",
       {"--files-from", (m_dir / "list0").native(), "-0"},
       2,
       "[1/1]\t" + clean + "...OK\n1 files, 0 errors\n",
       "harrowbit-cli: " + (m_dir / "missing.ogg").native() + ": No such file or directory\n"},
      {"a list that cannot be read",
       {"--files-from", (m_dir / "nolist").native()},
       2,
       "0 files, 0 errors\n",
       "harrowbit-cli: "},
  };
  for (const auto& c : cases) {
    const CliRun r = RunCli(m_dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart) << c.name;
  }
}

TEST_F(DbCli, GnuParallelSpreadsAListAndTheMergedLinesNameEachFileOnce) {
  for (int i = 0; i < 24; ++i) {
    Make(i % 5 == 0 ? Damage::kDropPage : Damage::kClean,
         "lib/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".ogg");
  }
  const std::string lib = (m_dir / "lib").native();
  const std::string script =
      "find '" + lib + "' -name '*.ogg' -print0 > '" + (m_dir / "list").native() + "' && " +
      "parallel --will-cite --pipe-part -a '" + (m_dir / "list").native() +
      "' --recend '\\0' --block 300 -j 3 '" + HARROWBIT_CLI + "' -j1 --json --files-from - -0";
  const CliRun spread = RunCommand(m_dir, {"/bin/sh", "-c", script});
  // parallel's status counts the jobs that found damage.
  ASSERT_GE(spread.status, 1) << spread.err;
  const auto merged = FileLines(m_dir, spread.out, "reason");
  const auto alone = FileLines(m_dir, RunCli(m_dir, {"--json", lib}).out, "reason");
  EXPECT_EQ(merged, alone);
  EXPECT_EQ(alone.size(), 24u);
}

namespace {

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Runs `script` in sh with the CLI as $CLI.
CliRun RunShell(const TempDir& t, const std::string& script) {
  return RunCommand(t, {"/bin/sh", "-c", "CLI=" + Quoted(HARROWBIT_CLI) + "; " + script});
}

void SetMtime(const std::string& path, timespec mtime) {
  const timespec times[2] = {{0, UTIME_OMIT}, mtime};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

timespec MtimeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}

}  // namespace

// A stored verdict stands only for a file unchanged in every way the kernel records; one
// with a time past 2262 never stands, and nothing overflows on the way.
TEST_F(DbCli, AFileTouchedInAnyWayTheKernelRecordsIsDecodedAgain) {
  const std::string lib = (m_dir / "lib").native();
  const struct {
    const char* name;
    std::function<void(const std::string&)> before;  // before the first run
    std::function<void(const std::string&)> after;   // between the runs
    std::string fromDb;
    std::string verdict;
  } cases[] = {
      {"untouched", {}, {}, "true", "\"ok\""},
      {"overwritten in place with its time put back (touch -r)",
       {},
       [&](const std::string& p) {
         const timespec mtime = MtimeOf(p);
         testgen::WriteBytes(
             p, testgen::MakeCase(Damage::kFlipByte, {.channels = 1, .rate = 8000, .seconds = 1}));
         SetMtime(p, mtime);
       },
       "null",
       "\"error\""},
      {"chmod", {}, [](const std::string& p) { ::chmod(p.c_str(), 0600); }, "null", "\"ok\""},
      {"modified in the year 2300",
       [](const std::string& p) {
         SetMtime(p, {10'413'792'000, 5});
       },
       {},
       "null",
       "\"ok\""},
  };
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    paths.push_back(Make(Damage::kClean, "lib/" + std::to_string(paths.size()) + ".ogg"));
    if (c.before) c.before(paths.back());
  }
  const CliRun first = RunCli(m_dir, {"--db", Db(), "-j2", lib});
  ASSERT_EQ(first.status, 0) << first.err;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (cases[i].after) cases[i].after(paths[i]);
  }
  const CliRun again = RunCli(m_dir, {"--db", Db(), "--skip-checked", "90", "-j2", "--json", lib});
  EXPECT_EQ(again.status, 1) << again.err;
  const auto fromDb = FileLines(m_dir, again.out, "from_db");
  const auto verdict = FileLines(m_dir, again.out, "verdict");
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(fromDb.at(paths[i]), cases[i].fromDb) << cases[i].name;
    EXPECT_EQ(verdict.at(paths[i]), cases[i].verdict) << cases[i].name;
  }
}

// --coverage describes the library: the files on disk under PATH, walked as a scan walks
// it, against those with a current record.
TEST_F(DbCli, CoverageCountsTheFilesOnDiskNotTheRecords) {
  std::vector<std::string> files;
  for (int i = 0; i < 5; ++i)
    files.push_back(Make(Damage::kClean, "lib/" + std::to_string(i) + ".ogg"));
  Make(Damage::kClean, "lib2/x.ogg");  // a neighbour whose name starts the same
  Make(Damage::kClean, "lib/.hidden/h.ogg");
  const std::string lib = (m_dir / "lib").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), files[0], files[1], files[2], (m_dir / "lib2").native(),
                           (m_dir / "lib/.hidden").native()})
                .status,
            0);
  const auto coverage = [&](const std::string& days) {
    const CliRun r = RunCli(m_dir, {"--db", Db(), "--coverage", days, lib});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(coverage("90"), lib + ": 3 of 5 files on disk checked within the last 90 days (60%)\n");
  std::filesystem::remove(files[0]);
  ::chmod(files[1].c_str(), 0600);
  EXPECT_EQ(coverage("0.5"),
            lib + ": 1 of 4 files on disk checked within the last 0.5 days (25%)\n");
  EXPECT_EQ(coverage("1"), lib + ": 1 of 4 files on disk checked within the last 1 day (25%)\n");
  const CliRun json = RunCli(m_dir, {"--db", Db(), "--coverage", "2", "--json", lib});
  EXPECT_EQ(json.out, "{\"type\":\"coverage\",\"folder\":\"" + lib +
                          "\",\"days\":2,\"on_disk\":4,\"checked\":1}\n");
  // A PATH that is not there is a fault, said, not an empty library.
  const CliRun missing =
      RunCli(m_dir, {"--db", Db(), "--coverage", "2", (m_dir / "nowhere").native()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "harrowbit-cli: " + (m_dir / "nowhere").native() + ": No such file or directory\n");
}

// --show-errors lists the damaged files of the library: a file gone from disk is left out
// and counted, one changed since its check is marked.
TEST_F(DbCli, ShowErrorsLeavesOutFilesGoneAndMarksChangedOnes) {
  const std::string kept = Make(Damage::kDropPage, "lib/kept.ogg");
  const std::string gone = Make(Damage::kDropPage, "lib/gone.ogg");
  const std::string moved = Make(Damage::kDropPage, "lib/d/moved.ogg");
  const std::string mended = Make(Damage::kDropPage, "lib/mended.ogg");
  Make(Damage::kClean, "lib/fine.ogg");
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), (m_dir / "lib").native()}).status, 1);
  std::filesystem::remove(gone);
  std::filesystem::rename(m_dir / "lib/d", m_dir / "lib/e");
  Make(Damage::kClean, "lib/mended.ogg");
  const CliRun r = RunCli(m_dir, {"--db", Db(), "--show-errors"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 3u) << r.out;
  EXPECT_EQ(got[0].substr(0, kept.size() + 8), kept + "...ERROR");
  EXPECT_EQ(got[0].find("changed since"), std::string::npos) << got[0];
  EXPECT_EQ(got[1].substr(0, mended.size() + 8), mended + "...ERROR");
  EXPECT_EQ(got[1].substr(got[1].size() - 14), "\tchanged since") << got[1];
  EXPECT_EQ(got[2], "2 files whose last check found an error; 2 more are gone from disk");
  const CliRun json = RunCli(m_dir, {"--db", Db(), "--show-errors", "--json"});
  EXPECT_EQ(FileLines(m_dir, json.out, "changed_since"),
            (std::map<std::string, std::string>{{kept, "false"}, {mended, "true"}}));
  EXPECT_NE(json.out.find("{\"type\":\"errors\",\"files\":2,\"gone\":2}\n"), std::string::npos);
}

// A query needs only reading, and leaves nothing beside the file: not as another user in
// a folder they cannot write, not on a read-only mount.
TEST_F(DbCli, ADatabaseThatMayBeReadButNotWrittenCanBeQueried) {
  std::filesystem::permissions(
      m_dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
  const std::string bad = Make(Damage::kDropPage, "lib/bad.ogg");
  Make(Damage::kClean, "lib/good.ogg");
  const std::string lib = (m_dir / "lib").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), lib}).status, 1);
  ::chmod(Db().c_str(), 0644);
  const std::string errors = RunCli(m_dir, {"--db", Db(), "--show-errors"}).out;
  ASSERT_EQ(errors.substr(0, bad.size() + 8), bad + "...ERROR") << errors;
  const std::string coverage =
      lib + ": 2 of 2 files on disk checked within the last 9 days (100%)\n";
  const bool root = ::geteuid() == 0;
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const std::string readOnlyMount = "unshare -m sh -c 'mount --bind " + m_dir.path().native() +
                                    " " + m_dir.path().native() + " && mount -o remount,bind,ro " +
                                    m_dir.path().native() + " && \"$0\" \"$@\"' ";
  const struct {
    const char* name;
    std::string prefix;
    bool needsRoot;
  } cases[] = {
      {"the owner", "", false},
      {"another user, who cannot write the folder", asNobody, true},
      {"a read-only mount", readOnlyMount, true},
  };
  for (const auto& c : cases) {
    if (c.needsRoot && !root) {
      std::printf("skipped, needs root: %s\n", c.name);
      continue;
    }
    for (const auto& [args, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--show-errors", errors}, {"--coverage 9 " + Quoted(lib), coverage}}) {
      const CliRun r = RunShell(m_dir, c.prefix + "\"$CLI\" --db " + Quoted(Db()) + " " + args);
      if (c.prefix == readOnlyMount && r.err.find("unshare") != std::string::npos) {
        std::printf("skipped, no mount namespace here: %s\n", r.err.c_str());
        continue;
      }
      EXPECT_EQ(r.status, 0) << c.name << ": " << args << "\n" << r.err;
      EXPECT_EQ(r.out, expected) << c.name << ": " << args;
      EXPECT_FALSE(std::filesystem::exists(Db() + "-wal")) << c.name << ": " << args;
      EXPECT_FALSE(std::filesystem::exists(Db() + "-shm")) << c.name << ": " << args;
    }
  }
}

// The queries follow the rules of a scan's output: a reader that went away is SIGPIPE's
// status, output that cannot be written is a fault said on standard error.
TEST_F(DbCli, QueriesWhoseOutputCannotBeWrittenAreNeverSuccess) {
  Make(Damage::kDropPage, "lib/bad.ogg");
  const std::string lib = (m_dir / "lib").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), lib}).status, 1);
  const struct {
    const char* run;
    const char* status;
    const char* err;
  } cases[] = {
      {"$Q > /dev/full; SAVE", "2\n",
       "harrowbit-cli: cannot write the results: No space left on device\n"},
      {"$Q >&-; SAVE", "2\n", "harrowbit-cli: cannot write the results: Bad file descriptor\n"},
      // The reader is gone before the answer is written.
      {"trap '' PIPE; { sleep 0.3; $Q; SAVE; } | true", "141\n", ""},
  };
  for (const std::string& query : {std::string("--show-errors"), "--coverage 9 " + Quoted(lib)}) {
    for (const auto& c : cases) {
      std::string script = c.run;
      script.replace(script.find("$Q"), 2, "\"$CLI\" --db " + Quoted(Db()) + " " + query);
      script.replace(script.find("SAVE"), 4, "echo $? > " + Quoted((m_dir / "status").native()));
      const CliRun r = RunShell(m_dir, script);
      EXPECT_EQ(ReadAll(m_dir / "status"), c.status) << query << ": " << c.run;
      EXPECT_EQ(r.err, c.err) << query << ": " << c.run;
    }
  }
}

TEST_F(DbCli, NumbersOfDaysAndAnEmptyDatabaseNameAreUsageErrors) {
  const std::string clean = Make(Damage::kClean, "lib/a.ogg");
  const std::string days = "is not a number of days from 0.001 to 36500\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--coverage", "inf", clean}, "'inf' " + days},
      {{"--coverage", "-0", clean}, "'-0' " + days},
      {{"--coverage", "1e308", clean}, "'1e308' " + days},
      {{"--coverage", "nan", clean}, "'nan' " + days},
      {{"--coverage", "0", clean}, "'0' " + days},
      {{"--coverage", "36500.5", clean}, "'36500.5' " + days},
      {{"--coverage", "0.0009", clean}, "'0.0009' " + days},
      {{"--coverage", "9d", clean}, "'9d' " + days},
      {{"--skip-checked", "inf", clean}, "'inf' " + days},
      {{"--skip-checked", "-1", clean}, "'-1' " + days},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--db", Db()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun r = RunCli(m_dir, args);
    EXPECT_EQ(r.status, 2) << c.args[1];
    EXPECT_EQ(r.out, "") << c.args[1];
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "harrowbit-cli: " + c.err) << c.args[1];
  }
  const CliRun empty = RunCli(m_dir, {"--db", "", clean});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err.substr(0, empty.err.find('\n') + 1),
            "harrowbit-cli: --db needs a file name, not an empty one\n");
  EXPECT_FALSE(std::filesystem::exists(Db()));
  // The bounds themselves are days.
  EXPECT_EQ(RunCli(m_dir, {"--db", Db(), clean}).status, 0);
  // Every codec held to its rules, with its helper processes.
  EXPECT_EQ(RunCli(m_dir, {"--db", Db(), "--strict", "--all-codecs", clean}).status, 0);
  for (const char* bound : {"0.001", "36500"}) {
    EXPECT_EQ(RunCli(m_dir, {"--db", Db(), "--coverage", bound, clean}).status, 0) << bound;
  }
}

TEST_F(DbCli, EveryListOfFilesFromIsReadInOrder) {
  const std::string a = Make(Damage::kClean, "lib/a.ogg");
  const std::string b = Make(Damage::kDropPage, "lib/b.ogg");
  const std::string c = Make(Damage::kClean, "lib/c.ogg");
  m_dir.Write("first", c + "\n" + a + "\n");
  m_dir.Write("second", b + "\n");
  const CliRun r = RunCli(m_dir, {"-j1", "--files-from", (m_dir / "first").native(), "--files-from",
                                  (m_dir / "second").native()});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.rfind("[3/3]")),
            "[1/3]\t" + c + "...OK\n[2/3]\t" + a + "...OK\n");
  EXPECT_NE(r.out.find("[3/3]\t" + b + "...ERROR"), std::string::npos) << r.out;
  // A list that cannot be read keeps none of the others out, and is a fault of the run.
  const CliRun partly = RunCli(m_dir, {"-j1", "--files-from", (m_dir / "nolist").native(),
                                       "--files-from", (m_dir / "first").native()});
  EXPECT_EQ(partly.status, 2);
  EXPECT_EQ(partly.out, "[1/2]\t" + c + "...OK\n[2/2]\t" + a + "...OK\n2 files, 0 errors\n");
}

// A folder under PATH that cannot be read is named, and the answer is not a clean one.
TEST_F(DbCli, CoverageOfALibraryWithAFolderThatCannotBeReadIsAFault) {
  std::filesystem::permissions(m_dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
  Make(Damage::kClean, "lib/a.ogg");
  Make(Damage::kClean, "lib/locked/b.ogg");
  const std::string lib = (m_dir / "lib").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), lib}).status, 0);
  ::chmod(Db().c_str(), 0644);
  ::chmod((m_dir / "lib/locked").c_str(), 0);
  std::vector<std::string> args;
  if (::geteuid() == 0) args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  args.insert(args.end(), {HARROWBIT_CLI, "--db", Db(), "--coverage", "9", lib});
  const CliRun r = RunCommand(m_dir, args);
  ::chmod((m_dir / "lib/locked").c_str(), 0700);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "harrowbit-cli: " + (m_dir / "lib/locked").native() + ": Permission denied\n");
  EXPECT_EQ(r.out, lib + ": 1 of 1 file on disk checked within the last 9 days (100%)\n");
}

TEST_F(DbCli, ALibraryReachedThroughALinkIsOneLibraryWhereverTheRunStarts) {
  const std::string a = Make(Damage::kClean, "real/a.ogg");
  Make(Damage::kDropPage, "real/sub/b.ogg");
  std::filesystem::create_directory_symlink(m_dir / "real", m_dir / "link");
  const std::string link = (m_dir / "link").native();
  ASSERT_EQ(RunCli(m_dir, {"--db", Db(), "--json", link}).status, 1);
  // From the real path, and from inside the link by a relative PATH (the working folder's
  // name comes resolved from the system): every verdict is the one recorded.
  const std::vector<std::string> runs[] = {
      {HARROWBIT_CLI, "--db", Db(), "--skip-checked", "9", "--json", (m_dir / "real").native()},
      {"sh", "-c", "cd \"$0\" && exec \"$1\" --db \"$2\" --skip-checked 9 --json .", link,
       HARROWBIT_CLI, Db()},
  };
  for (const auto& run : runs) {
    const CliRun r = RunCommand(m_dir, run);
    EXPECT_EQ(r.status, 1) << r.err;
    const auto fromDb = FileLines(m_dir, r.out, "from_db");
    ASSERT_EQ(fromDb.size(), 2u) << r.out;
    for (const auto& [path, value] : fromDb)
      EXPECT_EQ(value, "true") << path << " in " << run.back();
  }
}
