// Decoding in a helper process: the same verdicts as in-process, and a verdict instead
// of a crash when the decoder dies or runs away.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "decode/helper_verdict.h"
#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "scan/scan_worker.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/decode_loop.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using testsupport::Decode;
using Verdict = testsupport::Decoded;

TEST(Isolation, SameVerdictsAsDecodingInProcess) {
  TempDir t;
  std::vector<std::filesystem::path> files;
  for (const auto& c : testgen::AllCases({.seconds = 4})) {
    files.push_back(t / c.fileName);
    testgen::WriteBytes(files.back(), c.bytes);
  }
  files.push_back(t / "missing.ogg");
  const auto inProcess = InProcessTesterFactory()();
  CIsolatedTester isolated;
  for (const auto& f : files) EXPECT_EQ(Decode(isolated, f), Decode(*inProcess, f)) << f;
  const pid_t helper = isolated.HelperPid();
  EXPECT_NE(helper, 0);
  Decode(isolated, files.front());
  EXPECT_EQ(isolated.HelperPid(), helper) << "one helper serves every file";
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

TEST(Isolation, AHelperKilledOrStoppedMidFileGivesAVerdictAndTheNextFileIsTested) {
  TempDir t;
  testgen::WriteBytes(t / "long.ogg", testgen::EncodeTone({.channels = 1, .seconds = 30}));
  const struct {
    int signal;
    const char* prefix;
  } cases[] = {{SIGSEGV, "CRASH @ 0m "}, {SIGKILL, "LIMIT @ 0m "}, {SIGSTOP, "LIMIT @ 0m "}};
  for (const auto& c : cases) {
    CIsolatedTester tester(CurrentExecutable(), {.stepTimeout = std::chrono::milliseconds(300)});
    const Verdict v = Decode(tester, t / "long.ogg", [&](int step) {
      if (step == 100) ::kill(tester.HelperPid(), c.signal);
    });
    EXPECT_EQ(v.text.substr(0, std::strlen(c.prefix)), c.prefix) << v.text;
    EXPECT_GT(v.decoded, 99 * 1024) << "the steps received before the end still count";
    EXPECT_EQ(Decode(tester, t / "long.ogg").text, "OK");
  }
}

TEST(Isolation, AHelperThatCannotStartIsAFaultOfTheRunNotAVerdict) {
  TempDir t;
  testgen::WriteBytes(t / "a.ogg", testgen::EncodeTone({.seconds = 1}));
  CIsolatedTester one(t / "no-such-helper");
  EXPECT_FALSE(one.Open(t / "a.ogg"));
  EXPECT_EQ(one.Verdict().status, FileVerdict::Status::kNotChecked);
  EXPECT_EQ(one.Verdict().reason, "cannot start a decoder helper: No such file or directory");
  CFileList list;
  list.Append(t / "a.ogg");
  CParallelDecoder many(list, 2, t / "no-such-helper");
  EXPECT_EQ(many.Take(t / "a.ogg").verdict.status, FileVerdict::Status::kNotChecked);
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
  bool Open(const std::filesystem::path& path) override { return m_inner->Open(path); }
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
  const TesterFactory factory = [&] {
    auto inner = std::make_unique<CIsolatedTester>();
    auto* raw = inner.get();
    return std::make_unique<SteppedTester>(std::move(inner), [&, raw](int step) {
      helper = raw->HelperPid();
      if (step == 20) {
        state.TogglePause();
        paused = true;
      }
    });
  };
  state.PrepareStart();
  testsupport::CBoundedThread worker([&] { ScanThreadProc(state, window, factory); });
  ASSERT_TRUE(testsupport::WaitFor([&] { return paused.load(); })) << "the scan never paused";
  // The helper may fill its pipe, then it must wait: no decoding goes on while paused.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long before = CpuTicks(helper);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(CpuTicks(helper) - before, 1) << "the helper decodes on while the scan is paused";
  state.RequestCancel();
  worker.Join("the worker after a cancel");
  EXPECT_EQ(window.last, "[1/1]\t" + (t / "long.ogg").native() +
                             "...\r\n1 files, 0 errors\r\nCancelled: 0 of 1 files not checked");
  EXPECT_NE(::kill(helper, 0), 0) << "the helper outlived its scan";
}

TEST(HelperVerdict, AnswersAndTheHelpersEndBecomeTheFilesVerdict) {
  using S = FileVerdict::Status;
  const struct {
    const char* name;
    std::vector<HelperMessage> answers;
    const char* end;  // how the helper ended after them, if it did
    double lastPosition;
    S status;
    std::string reason;
    double position;
  } cases[] = {
      {"clean",
       {{HelperMessage::kOpened, 1, 441000, 10, ""},
        {HelperMessage::kStep, 1024, 0, 0.02, ""},
        {HelperMessage::kStep, 0, 0, 10, ""}},
       nullptr,
       0,
       S::kOk,
       "",
       10},
      {"fault",
       {{HelperMessage::kOpened, 1, 441000, 10, ""},
        {HelperMessage::kStep, -3, 0, 5.5, "OV_HOLE @ 0m 05s"}},
       nullptr,
       0,
       S::kError,
       "OV_HOLE @ 0m 05s",
       5.5},
      {"refused",
       {{HelperMessage::kOpened, 0, 0, 0, "OV_ENOTVORBIS"}},
       nullptr,
       0,
       S::kError,
       "OV_ENOTVORBIS",
       0},
      {"died opening", {}, "CRASH", 12, S::kError, "CRASH", 0},
      // The helper's own record runs ahead of the answers that reached the scan.
      {"died decoding",
       {{HelperMessage::kOpened, 1, 441000, 100, ""}, {HelperMessage::kStep, 1024, 0, 9.5, ""}},
       "CRASH",
       70.4,
       S::kError,
       "CRASH @ 1m 10s",
       70.4},
      {"stopped at its limits",
       {{HelperMessage::kOpened, 1, 441000, 100, ""}, {HelperMessage::kStep, 1024, 0, 9.5, ""}},
       "LIMIT",
       0,
       S::kError,
       "LIMIT @ 0m 09s",
       9.5},
  };
  for (const auto& c : cases) {
    FileVerdict v;
    for (const auto& m : c.answers) {
      if (m.type == HelperMessage::kOpened)
        TakeOpened(v, m);
      else
        TakeStep(v, m);
    }
    if (c.end != nullptr) TakeHelperEnd(v, c.end, c.lastPosition);
    EXPECT_EQ(v.status, c.status) << c.name;
    EXPECT_EQ(v.reason, c.reason) << c.name;
    EXPECT_EQ(v.position, c.position) << c.name;
    EXPECT_EQ(v.decoderEnded, c.end != nullptr) << c.name;
  }
}
