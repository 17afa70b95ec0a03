// harrowbit-cli with a results database, from outside: what a nightly sweep relies on.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
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
    // Nine verdicts out, the helper held on the long file, a commit's interval passed:
    // then the power goes.
    ASSERT_TRUE(testsupport::WaitFor([&] {
      const std::string out = ReadAll(m_dir / "stdout");
      return std::count(out.begin(), out.end(), '\n') >= 9;
    })) << "the sweep did not get under way";
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::istringstream children(ReadAll(e.path() / "children"));
      for (pid_t child; children >> child;) ::kill(child, SIGSTOP);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
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
      {"a time budget spent: no new file, exit by what was found",
       {"--budget", "0s", clean},
       0,
       "0 files, 0 errors\n",
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
