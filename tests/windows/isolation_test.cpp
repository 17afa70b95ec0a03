// Decoding in helper processes on Windows: the same verdicts as in-process, a crash of
// the decoder is a verdict and not the scan's end, and a cancel or the scan's end takes
// the helpers down with their jobs.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "platform/cancel_signal.h"
#include "platform/path_bytes.h"
#include "scan/file_list.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/decode_loop.h"
#include "tests/support/temp_dir.h"

using testsupport::Decode;

namespace {

bool ProcessGone(NativeProcessId id) {
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return true;
  const bool gone = ::WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
  ::CloseHandle(process);
  return gone;
}

}  // namespace

TEST(WindowsIsolation, HelpersGiveTheVerdictsOfDecodingInProcessOneOrTwoAtATime) {
  TempDir t;
  std::vector<std::filesystem::path> files;
  for (const auto& c : testgen::AllCases({.seconds = 2})) {
    files.push_back(t / c.fileName);
    testgen::WriteBytes(files.back(), c.bytes);
  }
  // A name outside the ANSI code page reaches the helper as UTF-8 and opens by its wide form.
  files.push_back(t / "t\xC3\xB6n \xE2\x82\xAC \xF0\x9F\x8E\xB5.ogg");
  testgen::WriteBytes(files.back(), testgen::EncodeTone({.seconds = 1}));
  files.push_back(t / "missing.ogg");

  const auto inProcess = InProcessTesterFactory()();
  std::vector<testsupport::Decoded> expected;
  for (const auto& f : files) expected.push_back(Decode(*inProcess, f));
  ASSERT_EQ(expected[files.size() - 2].text, "OK");

  CIsolatedTester isolated;
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(Decode(isolated, files[i]), expected[i]) << PathToUtf8(files[i]);
  }
  for (const int jobs : {1, 2}) {
    CFileList list;
    for (const auto& f : files) list.Append(f);
    CParallelDecoder parallel(list, jobs);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto decoded = parallel.Take({i, files[i]});
      const std::string text =
          decoded.verdict.status == FileVerdict::Status::kOk ? "OK" : decoded.verdict.reason;
      EXPECT_EQ(text, expected[i].text) << "-j" << jobs << " " << PathToUtf8(files[i]);
    }
  }
}

// The hostile case: a codebook that libvorbis builds on the stack overflows a small one.
TEST(WindowsIsolation, AnExceptionInTheHelperIsACrashOfTheFileAndTheNextFileGetsANewHelper) {
  TempDir t;
  testgen::WriteBytes(t / "codebook.ogg", testgen::MakeHugeCodebook({.seconds = 1}));
  testgen::WriteBytes(t / "clean.ogg", testgen::EncodeTone({.seconds = 1}));
  CIsolatedTester roomy;
  EXPECT_EQ(Decode(roomy, t / "codebook.ogg").text, "OK");

  CIsolatedTester cramped(CurrentExecutable(), {.stackBytes = std::size_t{8} << 20});
  EXPECT_EQ(Decode(cramped, t / "codebook.ogg").text, "CRASH @ 0m 00s");
  EXPECT_EQ(cramped.HelperPid(), 0u);
  EXPECT_EQ(Decode(cramped, t / "clean.ogg").text, "OK");
}

TEST(WindowsIsolation, ACancelEndsTheWaitForAnswersAndTheHelperEndsWithItsJob) {
  TempDir t;
  testgen::WriteBytes(t / "long.ogg", testgen::EncodeTone({.channels = 1, .seconds = 120}));
  CCancelSignal cancel;
  CDecoderHelper helper(CurrentExecutable(), {.cancelFd = cancel.Waitable()});
  ASSERT_EQ(helper.Start(), std::error_code());
  const NativeProcessId id = helper.Pid();
  ASSERT_TRUE(helper.Request(t / "long.ogg"));
  HelperMessage message;
  ASSERT_EQ(helper.Next(message, std::chrono::seconds(10)), CDecoderHelper::Wait::kMessage);
  cancel.Raise();
  const auto raised = std::chrono::steady_clock::now();
  // What the helper had already sent is still taken; then the wait ends at the cancel.
  CDecoderHelper::Wait w = CDecoderHelper::Wait::kMessage;
  for (int i = 0; i < 100000 && w == CDecoderHelper::Wait::kMessage; ++i) {
    w = helper.Next(message, std::chrono::seconds(10));
  }
  EXPECT_EQ(w, CDecoderHelper::Wait::kCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - raised, std::chrono::seconds(5));
  EXPECT_EQ(helper.End(HelperExit::How::kCancelled).how, HelperExit::How::kCancelled);
  EXPECT_TRUE(ProcessGone(id)) << "the helper outlived its job";
}
