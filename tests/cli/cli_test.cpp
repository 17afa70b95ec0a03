// harrowbit-cli from outside: standard output, standard error and the exit status.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/cli/run_cli.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/wait.h"
#include "text/path_text.h"

namespace {

// Helpers name their parent on their command line: those still alive for `parent`.
std::vector<pid_t> HelpersOf(pid_t parent) {
  std::vector<pid_t> helpers;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::string cmdline = ReadAll(e.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find("--decoder-helper " + std::to_string(parent) + " ") != std::string::npos) {
      helpers.push_back(std::stoi(e.path().filename().native()));
    }
  }
  return helpers;
}

class Cli : public ::testing::Test {
 protected:
  std::string Make(testgen::Damage d, const std::string& name, double seconds = 10,
                   int channels = 2, long rate = 44100) {
    const auto p = m_dir / name;
    std::filesystem::create_directories(p.parent_path());
    testgen::WriteBytes(
        p, testgen::MakeCase(d, {.channels = channels, .rate = rate, .seconds = seconds}));
    return p.native();
  }
  TempDir m_dir;
};

}  // namespace

TEST_F(Cli, MixedArgumentsReportInOrderAndAMissingPathIsUsageError) {
  const std::string clean = Make(testgen::Damage::kClean, "clean.ogg");
  const std::string hole = Make(testgen::Damage::kDropPage, "hole.ogg");
  const std::string text = Make(testgen::Damage::kNotOgg, "TEXT.OGG");
  m_dir.Write("notes.txt", "not a candidate");
  const std::string missing = (m_dir / "missing").native();
  const CliRun r = RunCli(m_dir, {clean, missing, hole, (m_dir / "notes.txt").native(), text});
  EXPECT_EQ(r.out, "[1/3]\t" + clean + "...OK\n[2/3]\t" + hole +
                       "...ERROR (OV_HOLE @ 0m 04s)\n[3/3]\t" + text +
                       "...ERROR (OV_ENOTVORBIS)\n3 files, 2 errors [2,3]\n");
  EXPECT_EQ(r.err, "harrowbit-cli: " + missing + ": No such file or directory\nharrowbit-cli: " +
                       (m_dir / "notes.txt").native() +
                       ": not checked: neither a folder nor a file whose name ends in \".ogg\"\n");
  EXPECT_EQ(r.status, 2);
}

TEST_F(Cli, ExitStatusSaysWhetherDamageWasFound) {
  m_dir.Write("empty/readme.txt");
  Make(testgen::Damage::kClean, "good/a.ogg", 1);
  Make(testgen::Damage::kCutMidFile, "bad/cut.ogg", 1);
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{(m_dir / "empty").native()}, "0 files, 0 errors\n", 0},
      {{(m_dir / "good").native()},
       "[1/1]\t" + (m_dir / "good/a.ogg").native() + "...OK\n1 files, 0 errors\n",
       0},
      {{(m_dir / "bad/").native()},
       "[1/1]\t" + (m_dir / "bad/cut.ogg").native() +
           "...ERROR (TRUNCATED @ 0m 00s)\n1 files, 1 errors [1]\n",
       1},
  };
  for (const auto& c : cases) {
    const CliRun r = RunCli(m_dir, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(Cli, UsageHelpAndVersion) {
  const CliRun none = RunCli(m_dir, {});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("Usage: harrowbit-cli"), std::string::npos);
  EXPECT_EQ(RunCli(m_dir, {"--frobnicate"}).status, 2);
  const CliRun help = RunCli(m_dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: harrowbit-cli"), std::string::npos);
  const CliRun version = RunCli(m_dir, {"--version"});
  EXPECT_EQ(version.out, "harrowbit-cli " HARROWBIT_VERSION "\n");
  EXPECT_EQ(version.status, 0);
  // After "--" a name that looks like an option is a path.
  EXPECT_EQ(RunCli(m_dir, {"--", "--help"}).status, 2);
}

TEST_F(Cli, InterruptCancelsStillPrintsTheSummaryAndLeavesNoHelperBehind) {
  const std::string file = Make(testgen::Damage::kClean, "long.ogg", 60);
  for (const char* jobs : {"-j1", "-j3", "-qj2"}) {
    const bool quiet = std::string_view(jobs) == "-qj2";
    std::vector<std::string> args(40, file);
    args.insert(args.begin(), jobs);
    pid_t cli = 0;
    const CliRun r = RunCli(m_dir, args, [&](pid_t pid) {
      cli = pid;
      // Wait until the first file has its verdict, so the scan is well under way.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      // With -q nothing is printed before the summary: wait for the helpers instead.
      const auto underWay = [&] {
        return quiet ? !HelpersOf(pid).empty() : !ReadAll(m_dir / "stdout").empty();
      };
      while (!underWay() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      // Not a wait: a little further in; a cancel at any point says the same.
      if (quiet) std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ::kill(pid, SIGINT);
    });
    EXPECT_EQ(r.status, 130) << jobs;
    if (quiet) {
      // No failed file, and the cancelled file's "..." line is not a failure either.
      EXPECT_EQ(r.out.find("..."), std::string::npos) << r.out;
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
      EXPECT_NE(r.out.find(" files not checked\n"), std::string::npos) << r.out;
      continue;
    }
    // The summary as ever, then what the cancel left unchecked.
    const auto cancelled = r.out.rfind('\n', r.out.size() - 2);
    ASSERT_NE(cancelled, std::string::npos) << r.out;
    const auto summary = r.out.rfind('\n', cancelled - 1);
    ASSERT_NE(summary, std::string::npos) << r.out;
    const int begun = std::stoi(r.out.substr(summary + 1));
    EXPECT_GE(begun, 1) << jobs;
    EXPECT_LT(begun, 40) << jobs;
    EXPECT_EQ(r.out.substr(summary + 1),
              std::to_string(begun) + " files, 0 errors\nCancelled: " + std::to_string(40 - begun) +
                  " of 40 files not checked\n")
        << jobs;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), begun + 2) << jobs;
    // Helpers sit in their own process group, out of the terminal's reach: none may
    // outlive the scan. A helper killed at the scan's end may still be on its way out.
    EXPECT_TRUE(testsupport::WaitFor([&] { return HelpersOf(cli).empty(); })) << jobs;
  }
}

TEST_F(Cli, ReportsAreTheSameWhateverTheNumberOfJobs) {
  std::filesystem::create_directories(m_dir / "set");
  for (const auto& c : testgen::AllCases({.seconds = 3})) {
    testgen::WriteBytes(m_dir / ("set/" + c.fileName), c.bytes);
  }
  testgen::WriteBytes(m_dir / "set/huge-codebook.ogg", testgen::MakeHugeCodebook({.seconds = 1}));
  const std::string set = (m_dir / "set").native();
  const CliRun one = RunCli(m_dir, {"-j", "1", set});
  EXPECT_EQ(one.status, 1);
  EXPECT_NE(one.out.find("15 files, 10 errors ["), std::string::npos) << one.out;
  // The quick check gives the same report, in one helper or several.
  for (const std::vector<std::string>& quick :
       {std::vector<std::string>{"--quick", "-j1"}, std::vector<std::string>{"--quick", "-j3"}}) {
    std::vector<std::string> args = quick;
    args.push_back(set);
    EXPECT_EQ(RunCli(m_dir, args).out, one.out) << quick[1];
  }
  for (const char* jobs : {"-j4", "--jobs=2", "--in-process"}) {
    if (std::string_view(jobs) == "--in-process") {
      // The crafted codebook would take the whole check down in-process.
      std::filesystem::remove(m_dir / "set/huge-codebook.ogg");
      const CliRun inProcess = RunCli(m_dir, {jobs, set});
      const CliRun isolated = RunCli(m_dir, {"-j3", set});
      EXPECT_EQ(inProcess.out, isolated.out);
      continue;
    }
    const CliRun r = RunCli(m_dir, {jobs, set});
    EXPECT_EQ(r.out, one.out) << jobs;
    EXPECT_EQ(r.status, one.status) << jobs;
  }
  EXPECT_EQ(RunCli(m_dir, {"-j", "0", set}).status, 2);
  EXPECT_EQ(RunCli(m_dir, {"-j"}).status, 2);
}

TEST_F(Cli, ErrorsOnlyAndJsonForScripts) {
  const std::string clean = Make(testgen::Damage::kClean, "clean.ogg");
  // Bytes that are not UTF-8, and the two characters JSON must escape.
  const std::string hole = Make(testgen::Damage::kDropPage, "caf\xE9\xFF \\ \".ogg");
  const std::string text = Make(testgen::Damage::kNotOgg, "text.ogg");
  const CliRun quiet = RunCli(m_dir, {"-q", clean, hole, text});
  EXPECT_EQ(quiet.out, "[2/3]\t" + DisplayText(hole) + "...ERROR (OV_HOLE @ 0m 04s)\n[3/3]\t" +
                           text + "...ERROR (OV_ENOTVORBIS)\n3 files, 2 errors [2,3]\n");
  const CliRun json = RunCli(m_dir, {"--json", "-j2", clean, hole, text});
  EXPECT_EQ(json.status, 1);
  // Parsed by Python as a script would, which also turns the name back into its bytes.
  const auto script = m_dir / "check.py";
  std::ofstream(script) << R"(import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
files, summary = lines[:-1], lines[-1]
assert [f["verdict"] for f in files] == ["ok", "error", "error"], files
assert files[1]["path"].encode("utf-8", "surrogateescape") == sys.argv[2].encode("utf-8", "surrogateescape")
assert files[1]["reason"] == "OV_HOLE @ 0m 04s" and 4 <= files[1]["position"] < 5, files[1]
assert files[1]["length"] == 10 and files[0]["position"] is None and files[2]["length"] is None
assert summary == {"type": "summary", "files": 3, "errors": 2, "failed": [2, 3], "listed": 3,
                   "cancelled": False, "check": "full"}, summary
)";
  const auto jsonOut = m_dir / "out.json";
  std::ofstream(jsonOut) << json.out;
  const std::string command =
      "python3 " + script.native() + " " + jsonOut.native() + " '" + hole + "'";
  ASSERT_EQ(hole.find('\''), std::string::npos);
  EXPECT_EQ(std::system(command.c_str()), 0) << json.out;
}

TEST_F(Cli, AFileThatKillsTheDecoderTwiceGetsAVerdictAndTheCheckGoesOn) {
  const std::string first = Make(testgen::Damage::kClean, "a-long.ogg", 600, 1, 22050);
  const std::string second = Make(testgen::Damage::kClean, "b.ogg", 1);
  const struct {
    int kills;
    int status;
    const char* firstVerdict;
  } cases[] = {
      // Once is a signal from outside, not the file: a fresh helper checks it again.
      {1, 0, "OK"},
      // "CRASH @ position", or "CRASH" alone on a slow machine where the kill lands while
      // the helper is still opening the file.
      {2, 1, "ERROR (CRASH"},
  };
  for (const auto& c : cases) {
    const CliRun r = RunCli(m_dir, {"-j1", first, second}, [&](pid_t pid) {
      std::vector<pid_t> killed;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (static_cast<int>(killed.size()) < c.kills &&
             std::chrono::steady_clock::now() < deadline) {
        for (const pid_t h : HelpersOf(pid)) {
          if (std::find(killed.begin(), killed.end(), h) != killed.end()) continue;
          // Not a wait: a little way into the file, or not; the verdict is the same.
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          ::kill(h, SIGSEGV);
          killed.push_back(h);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    EXPECT_EQ(r.status, c.status) << c.kills;
    const std::string line = "[1/2]\t" + first + "..." + c.firstVerdict;
    EXPECT_EQ(r.out.substr(0, line.size()), line) << r.out;
    EXPECT_NE(r.out.find("\n[2/2]\t" + second + "...OK\n2 files, "), std::string::npos) << r.out;
  }
}
