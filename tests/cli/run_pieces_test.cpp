// The pieces harrowbit-cli's run is built from, without a process: the way of checking as
// it goes on the wire and into JSON, the exit status, and what a result means for it.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/remembered_verdicts.h"
#include "cli/run_listeners.h"
#include "db/verdict_record.h"
#include "platform/program.h"
#include "scan/check_mode.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(CheckMode, EachModeHasItsOwnArgumentAndNameAndReadsBackWithoutItsStrictness) {
  // The texts other programs read: a change here breaks them.
  const struct {
    CheckMode mode;
    const char* argument;
    const char* name;
    CheckKind kind;
    Reach reach;
  } cases[] = {
      {{}, "full", "full", CheckKind::kFull, Reach::kVorbis},
      {{.quick = true}, "quick", "quick", CheckKind::kQuick, Reach::kVorbis},
      {{.everyCodec = true}, "all-full", "full", CheckKind::kFull, Reach::kAllCodecs},
      {{.quick = true, .everyCodec = true},
       "all-quick",
       "quick",
       CheckKind::kQuick,
       Reach::kAllCodecs},
      {{.strict = true}, "full", "full", CheckKind::kFull, Reach::kVorbis},
      {{.quick = true, .strict = true}, "quick", "quick", CheckKind::kQuick, Reach::kVorbis},
      {{.everyCodec = true, .strict = true},
       "all-full",
       "full",
       CheckKind::kFull,
       Reach::kAllCodecs},
      {{.quick = true, .everyCodec = true, .strict = true},
       "all-quick",
       "quick",
       CheckKind::kQuick,
       Reach::kAllCodecs},
  };
  ASSERT_EQ(std::size(cases), kEveryCheckMode.size());
  for (std::size_t i = 0; i < kEveryCheckMode.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(kEveryCheckMode[i], c.mode) << i << ": each way of checking once";
    EXPECT_EQ(HelperArgument(c.mode), c.argument) << i;
    EXPECT_EQ(CheckName(c.mode), c.name) << i;
    EXPECT_EQ(CheckKindOf(c.mode), c.kind) << i;
    EXPECT_EQ(ReachOf(c.mode), c.reach) << i;
    CheckMode sent = c.mode;
    sent.strict = false;
    EXPECT_EQ(CheckModeOfHelperArgument(c.argument), sent) << i;
  }
  for (const char* unknown : {"", "Full", "all", "strict", "full ", "all-quick-strict"}) {
    EXPECT_FALSE(CheckModeOfHelperArgument(unknown)) << '"' << unknown << '"';
  }
}

TEST(CheckMode, TheOptionsSetEachPartAlone) {
  const struct {
    std::vector<const char*> flags;
    CheckMode mode;
  } cases[] = {
      {{}, {}},
      {{"--quick"}, {.quick = true}},
      {{"--all-codecs"}, {.everyCodec = true}},
      {{"--strict"}, {.strict = true}},
      {{"--strict", "--quick", "--all-codecs"},
       {.quick = true, .everyCodec = true, .strict = true}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"harrowbit-cli"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    args.emplace_back("x.ogg");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    CliOptions options;
    ASSERT_EQ(ParseOptions(static_cast<int>(args.size()), argv.data(), options), -1);
    EXPECT_EQ(options.mode, c.mode) << c.flags.size();
    EXPECT_EQ(OggNamesOf(options), c.mode.everyCodec ? OggNames::kAnyOggAudio : OggNames::kOggOnly);
  }
}

TEST(ExitStatus, TheStrongestOfWhatHappenedDecides) {
  const int interrupted = InterruptedExitStatus(2);
  const struct {
    RunOutcome outcome;
    int status;
  } cases[] = {
      {{}, kExitClean},
      {{.damage = true}, kExitDamaged},
      {{.trouble = true}, kExitTrouble},
      {{.trouble = true, .damage = true}, kExitTrouble},
      {{.signal = 2, .trouble = true, .damage = true}, interrupted},
      {{.outputError = EIO, .signal = 2, .trouble = true}, kExitTrouble},
      {{.outputError = EPIPE, .signal = 2, .trouble = true}, BrokenPipeExitStatus()},
      {{.outputError = EPIPE, .damage = true}, BrokenPipeExitStatus()},
      // --salvage: a copy not written outweighs trouble and damage, not an interrupt.
      {{.trouble = true, .salvageNotWritten = true, .damage = true}, kExitSalvageNotWritten},
      {{.signal = 2, .salvageNotWritten = true}, interrupted},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ExitStatus(cases[i].outcome), cases[i].status) << i;
  }
}

// Keeps what it was given: the results' own record is what is under test.
class CKeptFormatter final : public IResultFormatter {
 public:
  void File(const FileResult& result, const ResultNotes&) override {
    files.push_back(result.path.string());
  }
  void Summary(const ScanSummary& summary, const RunFacts& run) override {
    summaryLine = std::string(summary.line);
    check = CheckName(run.mode);
  }
  std::vector<std::string> files;
  std::string summaryLine;
  std::string_view check;
};

TEST(Results, OnlyAFaultOfTheRunIsTroubleAndOnlyTheOneThatStoppedItIsNamedSo) {
  using Status = FileVerdict::Status;
  const struct {
    const char* name;
    Status status;
    bool unsupported;
    bool stopsScan;
    bool notChecked;  // FilesNotChecked
    bool runFault;    // RunFault and StoppedAt
  } cases[] = {
      {"ok", Status::kOk, false, false, false, false},
      {"damaged", Status::kError, false, false, false, false},
      {"a codec not checked", Status::kNotChecked, true, false, false, false},
      {"no helper for this file", Status::kNotChecked, false, false, true, false},
      {"no helper at all", Status::kNotChecked, false, true, false, true},
      {"cancelled", Status::kCancelled, false, false, false, false},
  };
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    COutput out(sink, [] {});
    CKeptFormatter formatter;
    CResults results(out, formatter, nullptr, nullptr);
    FileResult r;
    r.path = "/m/a.ogg";
    r.verdict.status = c.status;
    r.verdict.unsupported = c.unsupported;
    r.verdict.stopsScan = c.stopsScan;
    r.verdict.reason = "why";
    results.OnFileEnded(r);
    EXPECT_EQ(formatter.files, std::vector<std::string>{"/m/a.ogg"}) << "every result goes out";
    EXPECT_EQ(results.FilesNotChecked(), c.notChecked);
    EXPECT_EQ(results.RunFault(), c.runFault ? "why" : "");
    EXPECT_EQ(results.StoppedAt(), c.runFault ? "/m/a.ogg" : "");
  }
  std::fclose(sink);
}

TEST(Results, TheSummaryGoesOutOnlyWhenAskedWithTheRunsFacts) {
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  COutput out(sink, [] {});
  CKeptFormatter formatter;
  CResults results(out, formatter, nullptr, nullptr);
  ScanSummary summary;
  summary.errors = 2;
  summary.warned = {1, 3, 4};
  std::string line = "3 files, 2 errors";
  summary.line = line;
  results.OnScanEnded(summary);
  line = "gone";  // the worker's text does not outlive the scan
  EXPECT_EQ(formatter.summaryLine, "");
  results.WriteSummary({.mode = {.quick = true}});
  EXPECT_EQ(formatter.summaryLine, "3 files, 2 errors");
  EXPECT_EQ(formatter.check, "quick");
  EXPECT_EQ(results.Errors(), 2);
  EXPECT_EQ(results.Warned(), 3u);
  std::fclose(sink);
}

}  // namespace

// A rerun looks each file up in its folder, held open; once a file is to be read the folder
// is let go, so that a folder replaced while that file was checked is looked up anew and a
// record never stands for a file that is no longer there.
TEST(RememberedVerdicts, AFolderReplacedWhileAFileInItWasCheckedIsLookedUpAnew) {
  TempDir t;
  const auto a = t.Write("lib/a.ogg", "aaaa");
  const auto b = t.Write("lib/b.ogg", "bbbb");
  CResultsDb db;
  ASSERT_TRUE(db.Open(t / "lib.db", DbMode::kRecord)) << db.ErrorText();
  {
    CRememberedVerdicts first(db, CheckMode{}, std::nullopt);
    FileResult ok;
    ok.path = a;
    ok.verdict.status = FileVerdict::Status::kOk;
    ok.verdict.opened = true;
    first.Record(0, ok);
  }
  CRememberedVerdicts rerun(db, CheckMode{}, 90.0);
  EXPECT_TRUE(rerun.Decide(0, a).reuse);
  EXPECT_FALSE(rerun.Decide(1, b).reuse);  // no record: read next
  std::filesystem::rename(t / "lib", t / "old-lib");
  t.Write("lib/a.ogg", "aaaa");
  EXPECT_FALSE(rerun.Decide(2, a).reuse);
}
