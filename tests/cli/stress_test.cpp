// harrowbit-cli when the run itself is in trouble: too few descriptors, signals to every
// process, output that cannot be written. None of it may become a verdict on a file, and
// no exit status may claim a complete check that was not had.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/cli/run_cli.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/wait.h"

namespace {

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Runs `script` in sh with `cli` as $CLI.
CliRun RunShell(const TempDir& t, const std::string& script,
                const std::string& cli = HARROWBIT_CLI) {
  return RunCommand(t, {"/bin/sh", "-c", "CLI=" + Quoted(cli) + "; " + script});
}

// The decoder helpers of `parent` once they run as such: a child stopped before its exec
// would hold its parent inside posix_spawn.
std::vector<pid_t> HelpersOf(pid_t parent) {
  std::vector<pid_t> helpers;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task")) {
    std::istringstream in(ReadAll(task.path() / "children"));
    for (pid_t child; in >> child;) {
      if (ReadAll("/proc/" + std::to_string(child) + "/cmdline").find("--decoder-helper") !=
          std::string::npos) {
        helpers.push_back(child);
      }
    }
  }
  return helpers;
}

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_dir / "lib");
    for (int i = 0; i < 12; ++i) {
      testgen::WriteBytes(m_dir / "lib" / ("f" + std::to_string(i) + ".ogg"),
                          testgen::EncodeTone({.channels = 1, .rate = 22050, .seconds = 2}));
    }
  }
  // An hour, for a signal to find the helper at work: only the tests that need it pay for
  // its encoding.
  void WriteLongFile() const {
    testgen::WriteBytes(
        m_dir / "long.ogg",
        testgen::EncodeTone({.channels = 1, .rate = 8000, .seconds = 3600, .quality = -0.1f}));
  }
  std::string Lib() const { return Quoted((m_dir / "lib").native()); }
  TempDir m_dir;
};

// The tables run again with the options a nightly sweep adds: the database (reusing what
// an earlier case of the table recorded), the quick check, or both.
struct Mode {
  bool db = false;
  bool quick = false;
};

class StressIn : public Stress, public ::testing::WithParamInterface<Mode> {
 protected:
  std::vector<std::string> Options() const {
    std::vector<std::string> options;
    if (GetParam().db) options = {"--db", (m_dir / "sweep.db").native(), "--skip-checked", "90"};
    if (GetParam().quick) options.push_back("--quick");
    return options;
  }
  // The CLI with those options, for a shell: a script that execs it, so the process is the
  // same and every limit and signal disposition reaches it.
  std::string Cli() const {
    if (Options().empty()) return HARROWBIT_CLI;
    std::string script = "#!/bin/sh\nexec " + Quoted(HARROWBIT_CLI);
    for (const auto& o : Options()) script += " " + Quoted(o);
    const auto path = m_dir.Write("cli", script + " \"$@\"\n");
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    return path.native();
  }
};
class RunFaultStress : public StressIn {};
class SignalStress : public StressIn {};
class OutputStress : public StressIn {};

std::string ModeName(const ::testing::TestParamInfo<Mode>& info) {
  return std::string(info.param.db ? "Db" : "NoDb") + (info.param.quick ? "Quick" : "Full");
}
const auto kWithoutDb = ::testing::Values(Mode{}, Mode{.quick = true});
const auto kWithDb = ::testing::Values(Mode{.db = true}, Mode{.db = true, .quick = true});

}  // namespace

INSTANTIATE_TEST_SUITE_P(Sweep, RunFaultStress, kWithoutDb, ModeName);
INSTANTIATE_TEST_SUITE_P(SweepWithDb, RunFaultStress, kWithDb, ModeName);
INSTANTIATE_TEST_SUITE_P(Sweep, SignalStress, kWithoutDb, ModeName);
// With --db a stop signal ends the run at once today, with no summary and verdicts
// printed but not recorded (issue 16): enable with the fix.
INSTANTIATE_TEST_SUITE_P(SweepWithDb, SignalStress, kWithDb, ModeName);
INSTANTIATE_TEST_SUITE_P(Sweep, OutputStress, kWithoutDb, ModeName);
INSTANTIATE_TEST_SUITE_P(SweepWithDb, OutputStress, kWithDb, ModeName);

TEST_P(RunFaultStress, TooFewDescriptorsMeanFewerJobsOrNoCheckNeverDamage) {
  const struct {
    const char* script;
    int status;
    const char* err;
  } cases[] = {
      {"ulimit -n 24; exec $CLI -q -j 8 ", 0,
       "harrowbit-cli: -j 8 lowered to 4: the limit on open files allows no more\n"},
      {"ulimit -n 1024; exec $CLI -q -j 1024 ", 0,
       "harrowbit-cli: -j 1024 lowered to 504: the limit on open files allows no more\n"},
      {"ulimit -n 13; exec $CLI -q -j 1 ", 2,
       "harrowbit-cli: the limit on open files is too low to start a decoder helper (raise it "
       "with ulimit -n)\n"},
  };
  for (const auto& c : cases) {
    const CliRun r = RunShell(m_dir, c.script + Lib(), Cli());
    EXPECT_EQ(r.status, c.status) << c.script << r.err;
    EXPECT_EQ(r.err, c.err) << c.script;
    EXPECT_EQ(r.out, c.status == 0 ? "12 files, 0 errors\n" : "") << c.script;
  }
}

TEST_P(SignalStress, SignalsToTheScanAndItsHelpersCancelAndNeverCrash) {
  const struct {
    const char* name;
    int signal;
    bool stopHelperFirst;
    int status;
  } cases[] = {
      {"SIGTERM to every process, as systemctl stop sends it", SIGTERM, false, 143},
      {"Ctrl-C while the helper is stuck: no wait for its time limit", SIGINT, true, 130},
  };
  WriteLongFile();
  for (const auto& c : cases) {
    std::chrono::steady_clock::time_point signalled;
    std::vector<std::string> args = Options();
    args.insert(args.end(), {"-j1", (m_dir / "long.ogg").native()});
    const CliRun r = RunCli(m_dir, args, [&](pid_t pid) {
      ASSERT_TRUE(testsupport::WaitFor([&] { return !HelpersOf(pid).empty(); })) << c.name;
      const auto helpers = HelpersOf(pid);
      if (c.stopHelperFirst) {
        for (pid_t h : helpers) ::kill(h, SIGSTOP);
      } else {
        for (pid_t h : helpers) ::kill(h, c.signal);
      }
      signalled = std::chrono::steady_clock::now();
      ::kill(pid, c.signal);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(20)) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.out, "[1/1]\t" + (m_dir / "long.ogg").native() +
                         "...\n1 files, 0 errors\nCancelled: 0 of 1 files not checked\n")
        << c.name;
  }
}

TEST_P(OutputStress, OutputThatCannotBeWrittenIsNeverSuccess) {
  const struct {
    const char* run;  // how the CLI runs, with its status saved after it
    const char* status;
    const char* err;
  } cases[] = {
      {"$CLI -j1 LIB > /dev/full; SAVE", "2\n",
       "harrowbit-cli: cannot write the results: No space left on device\n"},
      {"$CLI -j1 LIB >&-; SAVE", "2\n",
       "harrowbit-cli: cannot write the results: Bad file descriptor\n"},
      // SIGPIPE ignored, as services often run: the reader's end stops the check.
      {"trap '' PIPE; { $CLI -j1 LIB; SAVE; } | true", "141\n", ""},
  };
  for (const auto& c : cases) {
    std::string script = c.run;
    script.replace(script.find("LIB"), 3, Lib());
    script.replace(script.find("SAVE"), 4, "echo $? > " + Quoted((m_dir / "status").native()));
    const CliRun r = RunShell(m_dir, script, Cli());
    EXPECT_EQ(ReadAll(m_dir / "status"), c.status) << c.run;
    EXPECT_EQ(r.err, c.err) << c.run;
  }
}

TEST_F(Stress, NamesAndTreesThatCouldHideOrForgeAVerdict) {
  // Permissions do not bind root: the CLI runs as nobody there.
  std::filesystem::permissions(m_dir.path(), std::filesystem::perms::all);
  const auto tree = m_dir / "tree";
  std::filesystem::create_directories(tree / "locked");
  const std::string forged = (tree / "x\r\n[9]\tforged.ogg...OK\x1b[2K.ogg").native();
  testgen::WriteBytes(forged, testgen::EncodeTone({.channels = 1, .rate = 8000, .seconds = 1}));
  testgen::WriteBytes(tree / "locked/hidden.ogg", testgen::EncodeTone({.seconds = 1}));
  std::filesystem::permissions(tree / "locked", std::filesystem::perms::none);
  for (const auto& e : std::filesystem::recursive_directory_iterator(
           m_dir.path(), std::filesystem::directory_options::skip_permission_denied)) {
    if (e.path() != tree / "locked")
      std::filesystem::permissions(e.path(), std::filesystem::perms::all);
  }
  std::vector<std::string> asUser;
  if (::geteuid() == 0) asUser = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

  std::vector<std::string> text = asUser;
  text.insert(text.end(), {HARROWBIT_CLI, "-j1", tree.native()});
  const CliRun r = RunCommand(m_dir, text);
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(r.out, "[1/1]\t" + tree.native() + "/x" + fffd + fffd + "[9]" + fffd +
                       "forged.ogg...OK" + fffd + "[2K.ogg...OK\n1 files, 0 errors\n");
  EXPECT_EQ(r.err, "harrowbit-cli: " + (tree / "locked").native() + ": Permission denied\n");
  EXPECT_EQ(r.status, 2) << "a folder that could not be read was not checked";

  std::vector<std::string> json = asUser;
  json.insert(json.end(), {HARROWBIT_CLI, "-j1", "--json", tree.native()});
  const CliRun j = RunCommand(m_dir, json);
  EXPECT_EQ(j.out.substr(0, j.out.find('\n')), "{\"type\":\"unchecked\",\"path\":\"" +
                                                   (tree / "locked").native() +
                                                   "\",\"reason\":\"Permission denied\"}");
  EXPECT_NE(j.out.find("x\\u000d\\u000a[9]\\u0009forged.ogg...OK\\u001b[2K.ogg"), std::string::npos)
      << j.out;
  std::filesystem::permissions(tree / "locked", std::filesystem::perms::all);
}
