// Decoding in a helper process: the same verdicts as in-process, and a verdict instead
// of a crash when the decoder dies or runs away.

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "decode/helper_protocol.h"
#include "decode/helper_verdict.h"
#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "scan/scan_worker.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"
#include "tests/gen/strict_gen.h"
#include "tests/support/decode_loop.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using testsupport::Decode;
using Verdict = testsupport::Decoded;

namespace {

// Every field of the verdict the scan reports once the tester is done with the file.
std::string FinalVerdict(IFileTester& tester, const std::filesystem::path& path) {
  if (tester.Open({0, path})) {
    while (tester.DecodeStep() > 0) {
    }
  }
  const FileVerdict& v = tester.Verdict();
  std::ostringstream out;
  out.precision(17);
  out << static_cast<int>(v.status) << " opened " << v.opened << " '" << v.reason << "' at "
      << v.position << " of " << v.length << " s, " << v.samples << " samples; limit "
      << v.overLimit << " stops " << v.stopsScan << "; codec '" << v.codec << "' skipped '"
      << v.skippedLinks << "' md5? " << v.md5Unverifiable << " unsupported " << v.unsupported
      << "; " << v.warningsNotListed << " more than";
  for (const auto& w : v.warnings) {
    out << "\n  " << w.name << " @" << w.offset << " " << w.position << " s: " << w.text;
  }
  return out.str();
}

}  // namespace

TEST(Isolation, SameVerdictsAsDecodingInProcess) {
  TempDir t;
  std::vector<std::filesystem::path> vorbis, breaches, codecs;
  const auto write = [&](std::vector<std::filesystem::path>& into, const std::string& name,
                         const testgen::Bytes& bytes) {
    if (bytes.empty()) return;
    into.push_back(t / name);
    testgen::WriteBytes(into.back(), bytes);
  };
  for (const auto& c : testgen::AllCases({.seconds = 4})) write(vorbis, c.fileName, c.bytes);
  vorbis.push_back(t / "missing.ogg");
  for (const auto& c : testgen::StrictCases()) write(breaches, c.fileName, c.bytes);
  for (const auto& c : testgen::StrictOpusCases()) write(breaches, c.fileName, c.bytes);
  for (const auto& c : testgen::StrictFlacCases()) write(breaches, c.fileName, c.bytes);
  for (const auto codec : {testgen::Codec::kOpus, testgen::Codec::kFlac}) {
    for (const auto& c : testgen::AllCodecCases(codec, {.seconds = 4})) {
      write(codecs, c.fileName, c.bytes);
    }
  }
  // Each way of checking, in the scan's process and in a helper told the same.
  for (const CheckMode mode : kEveryCheckMode) {
    SCOPED_TRACE(testing::Message() << "quick " << mode.quick << " every codec " << mode.everyCodec
                                    << " strict " << mode.strict);
    const auto inProcess = InProcessTesterFactory(mode)();
    CIsolatedTester isolated(CurrentExecutable(), {.mode = mode});
    std::vector<std::filesystem::path> files = vorbis;
    if (mode.strict) files.insert(files.end(), breaches.begin(), breaches.end());
    if (mode.everyCodec) files.insert(files.end(), codecs.begin(), codecs.end());
    for (const auto& f : files) {
      EXPECT_EQ(FinalVerdict(isolated, f), FinalVerdict(*inProcess, f)) << f;
    }
    const pid_t helper = isolated.HelperPid();
    EXPECT_NE(helper, 0);
    FinalVerdict(isolated, files.front());
    EXPECT_EQ(isolated.HelperPid(), helper) << "one helper serves every file";
  }
}

TEST(Isolation, AHugeCodebookDecodesOnTheLargeStackAndCrashesOnlyTheHelperOnASmallOne) {
  TempDir t;
  testgen::WriteBytes(t / "codebook.ogg", testgen::MakeHugeCodebook({.seconds = 1}));
  testgen::WriteBytes(t / "clean.ogg", testgen::EncodeTone({.seconds = 1}));
  CIsolatedTester roomy;
  EXPECT_EQ(Decode(roomy, t / "codebook.ogg").text, "OK");

  CIsolatedTester cramped(CurrentExecutable(), {.stackBytes = std::size_t{8} << 20});
  const Verdict crashed = Decode(cramped, t / "codebook.ogg");
  EXPECT_TRUE(crashed.opened);
  EXPECT_EQ(crashed.text, "CRASH @ 0m 00s");
  EXPECT_EQ(cramped.HelperPid(), 0);
  EXPECT_EQ(Decode(cramped, t / "clean.ogg").text, "OK") << "a new helper takes the next file";
}

TEST(Isolation, AHelperKilledFromOutsideGetsTheFileOnceMoreAndOnlyASecondDeathIsAVerdict) {
  TempDir t;
  // Long enough that the helper is still at work at the last kill however far its answers
  // run ahead of the scan's steps: a batch, the pipe and the scan's buffer, each
  // kReplyPipeBytes of the smallest answer; twice that, at 1024 samples a step of 44.1 kHz.
  std::string answer;
  AppendMessage(answer, {.type = HelperMessage::kStep, .text = {}});
  const std::size_t stepsAhead = 3 * kReplyPipeBytes / answer.size();
  const double seconds = 2.0 * static_cast<double>(stepsAhead) * 1024 / 44100;
  testgen::WriteBytes(t / "long.ogg", testgen::EncodeTone({.channels = 1, .seconds = seconds}));
  const struct {
    const char* name;
    int signal;
    std::vector<int> killAtSteps;
    const char* prefix;
  } cases[] = {
      {"a crash signal once: the fresh helper catches up", SIGSEGV, {100}, "OK"},
      {"an outside kill once (out of memory)", SIGKILL, {100}, "OK"},
      {"a crash the same way twice", SIGSEGV, {100, 150}, "CRASH @ "},
      {"killed twice", SIGKILL, {100, 150}, "LIMIT @ "},
      {"stopped: no verdict on the file",
       SIGSTOP,
       {100},
       "the decoder stopped making progress without using the processor"},
  };
  for (const auto& c : cases) {
    CIsolatedTester tester(CurrentExecutable(), {.stepTimeout = std::chrono::milliseconds(300)});
    std::vector<pid_t> killed;
    // A kill lands on the helper at work once the step is reached. Answers the first
    // helper wrote before it died still arrive after its death, the more so on a loaded
    // machine: the second kill waits for the fresh helper.
    const Verdict v = Decode(tester, t / "long.ogg", [&](int step) {
      if (killed.size() == c.killAtSteps.size() || step < c.killAtSteps[killed.size()]) return;
      if (tester.HelperPid() <= 0) return;
      if (!killed.empty() && tester.HelperPid() == killed.back()) return;
      killed.push_back(tester.HelperPid());
      ::kill(killed.back(), c.signal);
    });
    EXPECT_EQ(v.text.substr(0, std::strlen(c.prefix)), c.prefix) << c.name << ": " << v.text;
    if (c.killAtSteps.size() > 1) {
      EXPECT_NE(killed.front(), killed.back()) << c.name << ": the second try had a new helper";
      EXPECT_GT(v.decoded, 149 * 1024) << c.name << ": the steps received before still count";
      // Where the helper had got to by its own record: no earlier than the answers received,
      // before the file's end.
      int minutes = -1;
      int secs = -1;
      std::sscanf(v.text.c_str() + std::strlen(c.prefix), "%dm %ds", &minutes, &secs);
      const double at = minutes * 60 + secs;
      EXPECT_GE(at + 1, static_cast<double>(v.decoded) / 44100) << c.name << ": " << v.text;
      EXPECT_LT(at, seconds) << c.name << ": " << v.text;
    }
    EXPECT_EQ(Decode(tester, t / "long.ogg").text, "OK") << c.name;
  }
}

// Helpers that never answer: the processor time they spend, not the time waited, decides.
TEST(Isolation, AHelperIsJudgedByItsProcessorTimeNotTheWallClock) {
  TempDir t;
  testgen::WriteBytes(t / "a.ogg", testgen::EncodeTone({.seconds = 1}));
  const struct {
    const char* name;
    const char* script;
    FileVerdict::Status status;
    const char* reason;
    bool overLimit;
  } cases[] = {
      {"spins: past its limit", "while :; do :; done", FileVerdict::Status::kError, "LIMIT", true},
      {"waits without working: stalled, a fault of the run", "exec sleep 60",
       FileVerdict::Status::kNotChecked,
       "the decoder stopped making progress without using the processor (stopped, or waiting "
       "on a file system that does not answer)",
       false},
      {"dies of a crash signal, twice", "kill -SEGV $$", FileVerdict::Status::kError, "CRASH",
       false},
      {"exits at once, twice", "exit 3", FileVerdict::Status::kError, "CRASH", false},
  };
  for (const auto& c : cases) {
    const auto helper = t / "helper.sh";
    std::ofstream(helper) << "#!/bin/sh\n" << c.script << "\n";
    std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
    CIsolatedTester tester(helper, {.stepTimeout = std::chrono::milliseconds(400)});
    EXPECT_FALSE(tester.Open({0, t / "a.ogg"})) << c.name;
    EXPECT_EQ(tester.Verdict().status, c.status) << c.name;
    EXPECT_EQ(tester.Verdict().reason, c.reason) << c.name;
    EXPECT_EQ(tester.Verdict().overLimit, c.overLimit) << c.name;
    EXPECT_FALSE(tester.Verdict().stopsScan) << c.name;
  }
}

TEST(Isolation, AHelperThatCannotStartIsAFaultOfTheRunNotAVerdict) {
  TempDir t;
  testgen::WriteBytes(t / "a.ogg", testgen::EncodeTone({.seconds = 1}));
  CIsolatedTester one(t / "no-such-helper");
  EXPECT_FALSE(one.Open({0, t / "a.ogg"}));
  EXPECT_EQ(one.Verdict().status, FileVerdict::Status::kNotChecked);
  EXPECT_EQ(one.Verdict().reason, "cannot start a decoder helper: No such file or directory");
  CFileList list;
  list.Append(t / "a.ogg");
  CParallelDecoder many(list, 2, t / "no-such-helper");
  EXPECT_EQ(many.Take({0, t / "a.ogg"}).verdict.status, FileVerdict::Status::kNotChecked);
}

TEST(Isolation, FilesThatChangeUnderTheScanStillGetAVerdict) {
  TempDir t;
  const auto bytes = testgen::EncodeTone({.channels = 1, .seconds = 20});
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> change;
    bool opens;
  } cases[] = {
      {"deleted.ogg", [](const auto& p) { std::filesystem::remove(p); }, false},
      {"truncated.ogg", [&](const auto& p) { std::filesystem::resize_file(p, bytes.size() / 3); },
       true},
      {"grown.ogg",
       [](const auto& p) { std::ofstream(p, std::ios::app) << std::string(100000, 'x'); }, true},
  };
  CIsolatedTester tester;
  for (const auto& c : cases) {
    const auto path = t / c.name;
    testgen::WriteBytes(path, bytes);
    if (!c.opens) {
      c.change(path);  // between collection and test
      EXPECT_EQ(Decode(tester, path).text, "OPENFILE");
      continue;
    }
    // While it is being decoded; the helper has read ahead, so decode far enough first.
    const Verdict v = Decode(tester, path, [&](int step) {
      if (step == 5) c.change(path);
    });
    EXPECT_TRUE(v.opened) << c.name;
    EXPECT_FALSE(v.text.empty()) << c.name;
  }
  EXPECT_NE(tester.HelperPid(), 0);
}

namespace {

// Lets a test act between the steps the worker takes.
class SteppedTester final : public IFileTester {
 public:
  SteppedTester(std::unique_ptr<CIsolatedTester> inner, std::function<void(int)> onStep)
      : m_inner(std::move(inner)), m_onStep(std::move(onStep)) {}
  bool Open(const ListedFile& file) override { return m_inner->Open(file); }
  int64_t DecodeStep() override {
    const int64_t r = m_inner->DecodeStep();
    m_onStep(++m_steps);
    return r;
  }
  const FileVerdict& Verdict() const override { return m_inner->Verdict(); }
  pid_t HelperPid() const { return m_inner->HelperPid(); }

 private:
  std::unique_ptr<CIsolatedTester> m_inner;
  std::function<void(int)> m_onStep;
  int m_steps = 0;
};

struct Silent final : IScanWindow {
  void SetLogText(std::string_view text) override {
    std::lock_guard lock(mutex);
    last = text;
  }
  void SetProgress(int64_t, bool) override {}
  void UpdateButtons() override {}
  std::mutex mutex;
  std::string last;
};

// Processor time the process has had, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  long ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stol(field);
  }
  return ticks;
}

}  // namespace

TEST(Isolation, APausedScanHoldsItsHelperAndACancelWhilePausedEndsIt) {
  TempDir t;
  testgen::WriteBytes(t / "long.ogg",
                      testgen::EncodeTone({.channels = 1, .rate = 22050, .seconds = 600}));
  CScanState state;
  state.m_fileList.Append(t / "long.ogg");
  Silent window;
  std::atomic<pid_t> helper{0};
  std::atomic<bool> paused{false};
  // What the helper spent starting (exec, a sanitizer's runtime) before its first answer:
  // that is not decoding, and a sanitized start costs more than a whole check of this file.
  std::atomic<long> started{0};
  const TesterFactory factory = [&] {
    auto inner = std::make_unique<CIsolatedTester>();
    auto* raw = inner.get();
    return std::make_unique<SteppedTester>(std::move(inner), [&, raw](int step) {
      helper = raw->HelperPid();
      if (step == 1) started = CpuTicks(helper);
      if (step == 20) {
        state.TogglePause();
        paused = true;
      }
    });
  };
  state.PrepareStart();
  testsupport::CBoundedThread worker([&] { ScanThreadProc(state, window, factory); });
  ASSERT_TRUE(testsupport::WaitFor([&] { return paused.load(); })) << "the scan never paused";
  // The helper may fill its pipe, then it must wait: no decoding goes on while paused. It
  // has come to rest once its processor time stands still for a while, however loaded the
  // machine; a helper that decoded on would come to rest only at the file's end, having
  // spent what a whole check costs (measured here, in this process), not a pipe's worth.
  long last = -1;
  auto still = std::chrono::steady_clock::now();
  ASSERT_TRUE(testsupport::WaitFor([&] {
    const long now = CpuTicks(helper);
    if (now != last) {
      last = now;
      still = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - still >= std::chrono::milliseconds(300);
  })) << "the helper never came to rest while the scan was paused";
  const auto whole = InProcessTesterFactory(CheckMode{})();
  timespec start{};
  timespec end{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  ASSERT_EQ(Decode(*whole, t / "long.ogg").text, "OK");
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  const double wholeTicks =
      (double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9) *
      double(::sysconf(_SC_CLK_TCK));
  EXPECT_LT(double(CpuTicks(helper) - started), wholeTicks / 2)
      << "the helper decoded on while the scan was paused";
  // At rest it stays: a pause holds for as long as it lasts. (A window to watch, not a wait.)
  const long rested = CpuTicks(helper);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(CpuTicks(helper) - rested, 1) << "the helper decodes on while the scan is paused";
  state.RequestCancel();
  worker.Join("the worker after a cancel");
  EXPECT_EQ(window.last, "[1/1]\t" + (t / "long.ogg").native() +
                             "...\r\n1 files, 0 errors\r\nCancelled: 0 of 1 files not checked");
  EXPECT_NE(::kill(helper, 0), 0) << "the helper outlived its scan";
}

TEST(HelperVerdict, AnswersAndTheHelpersEndBecomeTheFilesVerdict) {
  using S = FileVerdict::Status;
  using How = HelperExit::How;
  const HelperMessage opened{HelperMessage::kOpened, 1, 441000, 100, ""};
  const HelperMessage step{HelperMessage::kStep, 1024, 0, 9.5, ""};
  const HelperMessage last{HelperMessage::kStep, 0, 0, 10, ""};
  const HelperMessage gap{HelperMessage::kWarning,
                          0,
                          4096,
                          1.5,
                          "sequence-gap",
                          "page sequence number 9 where 8 was due"};
  const HelperMessage end{HelperMessage::kWarningsEnd, 0, 0, 0, ""};
  const struct {
    const char* name;
    std::vector<HelperMessage> answers;
    std::optional<HelperExit> end;  // how the helper's work ended after them, if it did
    S status;
    std::string reason;
    double position;
    bool overLimit;
    // --strict's breaches, as the verdict holds them in the end.
    std::vector<FileVerdict::Warning> warnings = {};
    int64_t notListed = 0;
    bool known = false;  // the breaches are all there are
    bool stops = false;  // the scan ends with this file
  } cases[] = {
      {"clean",
       {{HelperMessage::kOpened, 1, 441000, 10, ""},
        {HelperMessage::kStep, 1024, 0, 0.02, ""},
        {HelperMessage::kStep, 0, 0, 10, ""}},
       {},
       S::kOk,
       "",
       10,
       false},
      {"fault",
       {opened, {HelperMessage::kStep, -3, 0, 5.5, "OV_HOLE @ 0m 05s"}},
       {},
       S::kError,
       "OV_HOLE @ 0m 05s",
       5.5,
       false},
      {"refused",
       {{HelperMessage::kOpened, 0, 0, 0, "OV_ENOTVORBIS"}},
       {},
       S::kError,
       "OV_ENOTVORBIS",
       0,
       false},
      {"died opening", {}, HelperExit{How::kCrashed, SIGSEGV, 12}, S::kError, "CRASH", 0, false},
      // The helper's own record runs ahead of the answers that reached the scan.
      {"died decoding",
       {opened, step},
       HelperExit{How::kCrashed, SIGSEGV, 70.4},
       S::kError,
       "CRASH @ 1m 10s",
       70.4,
       false},
      {"stopped at its limits",
       {opened, step},
       HelperExit{How::kOverLimit, 0, 0},
       S::kError,
       "LIMIT @ 0m 09s",
       9.5,
       true},
      {"killed from outside, twice",
       {opened, step},
       HelperExit{How::kKilled, SIGKILL, 11.2},
       S::kError,
       "LIMIT @ 0m 11s",
       11.2,
       true},
      {"stalled: a fault of the run",
       {opened, step},
       HelperExit{How::kStalled, 0, 30},
       S::kNotChecked,
       "the decoder stopped making progress without using the processor (stopped, or waiting "
       "on a file system that does not answer)",
       9.5,
       false},
      {"cancelled",
       {opened, step},
       HelperExit{How::kCancelled, 0, 30},
       S::kCancelled,
       "",
       9.5,
       false},
      {"strict: breaches before the last step",
       {opened, step, gap, {HelperMessage::kWarningsEnd, 0, 3, 0, ""}, last},
       {},
       S::kOk,
       "",
       10,
       false,
       {{"sequence-gap", "page sequence number 9 where 8 was due", 4096, 1.5}},
       3,
       true},
      {"strict: a refused file's breaches come before its answer",
       {gap, end, {HelperMessage::kOpened, 0, 0, 0, "OV_ENOTVORBIS"}},
       {},
       S::kError,
       "OV_ENOTVORBIS",
       0,
       false,
       {{"sequence-gap", "page sequence number 9 where 8 was due", 4096, 1.5}},
       0,
       true},
      {"strict: a file that could not be read has none known",
       {{HelperMessage::kOpened, 0, 0, 0, "OPENFILE"}},
       {},
       S::kError,
       "OPENFILE",
       0,
       false},
      {"strict: a file that opens starts without any",
       {gap, end, opened, last},
       {},
       S::kOk,
       "",
       10,
       false},
      {"strict: a cancel after the breaches leaves them unknown",
       {opened, step, gap, end},
       HelperExit{How::kCancelled, 0, 30},
       S::kCancelled,
       "",
       9.5,
       false},
      // The sandbox's refusals are the run's to answer for, whatever the file holds.
      {"ended by its sandbox",
       {opened, step, gap},
       HelperExit{How::kSandboxed, SIGSYS, 12},
       S::kNotChecked,
       "the decoder tried what its sandbox forbids and was ended",
       9.5,
       false},
      {"cannot be confined, and must be",
       {},
       HelperExit{How::kUnconfined, 0, 0},
       S::kNotChecked,
       "the decoder helper cannot be confined here, and --require-sandbox forbids decoding "
       "unconfined",
       0,
       false,
       {},
       0,
       false,
       true},
      {"strict: breaches of a check that did not finish are dropped",
       {opened, step, gap},
       HelperExit{How::kCrashed, SIGSEGV, 12},
       S::kError,
       "CRASH @ 0m 12s",
       12,
       false},
  };
  for (const auto& c : cases) {
    CVerdictBuilder builder;
    for (const auto& m : c.answers) builder.Take(m);
    if (c.end) builder.TakeEnd(*c.end);
    const FileVerdict& v = builder.Verdict();
    EXPECT_EQ(v.status, c.status) << c.name;
    EXPECT_EQ(v.reason, c.reason) << c.name;
    EXPECT_EQ(v.position, c.position) << c.name;
    EXPECT_EQ(v.overLimit, c.overLimit) << c.name;
    EXPECT_EQ(v.stopsScan, c.stops) << c.name;
    EXPECT_EQ(v.warnings, c.warnings) << c.name;
    EXPECT_EQ(v.warningsNotListed, c.notListed) << c.name;
    EXPECT_EQ(v.warningsKnown, c.known) << c.name;
  }
}

// A fresh helper gets the file once more only where it could end otherwise.
TEST(HelperVerdict, OnlyAnEndThatAFreshHelperMightAvoidIsRetried) {
  using How = HelperExit::How;
  const struct {
    How how;
    bool byTheScan;
    bool retried;
  } cases[] = {
      {How::kCrashed, false, true},     {How::kKilled, false, true},
      {How::kOverLimit, true, false},   {How::kStalled, true, false},
      {How::kCancelled, true, false},   {How::kSandboxed, false, false},
      {How::kUnconfined, false, false},
  };
  for (const auto& c : cases) {
    const HelperExit exit{c.how, 0, 0};
    EXPECT_EQ(exit.ByTheScan(), c.byTheScan) << static_cast<int>(c.how);
    EXPECT_EQ(exit.Retried(), c.retried) << static_cast<int>(c.how);
  }
}

TEST(Isolation, EveryCodecIsCheckedOnlyWhenAskedAndQuicklyOnlyForVorbis) {
  TempDir t;
  const testgen::Tone tone{.channels = 1, .rate = 8000, .seconds = 1};
  const auto opus = t / "opus.ogg";
  testgen::WriteBytes(
      opus, testgen::MakeCodecCase(testgen::Codec::kOpus, testgen::CodecDamage::kClean, tone));
  // The helper of every codec decodes on the stack the scan asks for, as the others do.
  const auto codebook = t / "codebook.ogg";
  testgen::WriteBytes(codebook, testgen::MakeHugeCodebook({.seconds = 1}));
  constexpr std::size_t kSmallStack = std::size_t{8} << 20;
  const struct {
    const char* name;
    TesterFactory make;
    std::filesystem::path file;
    const char* text;
    const char* codec;
  } cases[] = {
      {"a helper by default", IsolatedTesterFactory(), opus, "OV_ENOTVORBIS", ""},
      {"a quick helper", IsolatedTesterFactory(CurrentExecutable(), {.mode = {.quick = true}}),
       opus, "OV_ENOTVORBIS", ""},
      {"a helper for every codec",
       IsolatedTesterFactory(CurrentExecutable(), {.mode = {.everyCodec = true}}), opus, "OK",
       "opus"},
      {"a quick helper for every codec",
       IsolatedTesterFactory(CurrentExecutable(), {.mode = {.quick = true, .everyCodec = true}}),
       opus, "OK", "opus"},
      {"every codec, full, on a small stack",
       IsolatedTesterFactory(CurrentExecutable(),
                             {.stackBytes = kSmallStack, .mode = {.everyCodec = true}}),
       codebook, "CRASH @ 0m 00s", "vorbis"},
      {"in-process by default", InProcessTesterFactory(), opus, "OV_ENOTVORBIS", ""},
      {"in-process quick", InProcessTesterFactory({.quick = true}), opus, "OV_ENOTVORBIS", ""},
      {"in-process for every codec", InProcessTesterFactory({.everyCodec = true}), opus, "OK",
       "opus"},
      {"in-process quick for every codec",
       InProcessTesterFactory({.quick = true, .everyCodec = true}), opus, "OK", "opus"},
  };
  for (const auto& c : cases) {
    const auto tester = c.make();
    EXPECT_EQ(Decode(*tester, c.file).text, c.text) << c.name;
    EXPECT_EQ(tester->Verdict().codec, c.codec) << c.name;
  }
}
