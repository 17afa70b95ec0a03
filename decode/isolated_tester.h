#pragma once

#include <optional>

#include "decode/helper_client.h"
#include "decode/helper_verdict.h"
#include "scan/file_tester.h"

// Decodes one file at a time in a helper process, step by step as the scan asks. A file
// that kills the decoder gets "CRASH" ("LIMIT" when it went past its limits) with the
// position of the last decoded step, or alone when it happened while opening; the next
// file gets a new helper. A helper that dies by itself gets the file once more in a fresh
// helper, which catches up silently, before its end counts as a verdict: a signal from
// outside (the out-of-memory killer, a stray kill) is not the file's doing.
class CIsolatedTester final : public IFileTester {
 public:
  explicit CIsolatedTester(std::filesystem::path helper = CurrentExecutable(),
                           DecoderOptions options = {});

  bool Open(const ListedFile& file) override;
  int64_t DecodeStep() override;
  const FileVerdict& Verdict() const override { return m_verdict.Verdict(); }

  // The running helper, 0 when none runs. For tests that stop it from outside.
  NativeProcessId HelperPid() const { return m_helper.Pid(); }

 private:
  // Starts a helper on the file and takes its answer to the open; false with `exit` set
  // when the helper's work ended first, or with `startError` when none started.
  bool Begin(HelperMessage& opened, HelperExit& exit, std::error_code& startError);
  // The next answer of `type`, while the helper keeps within its limits.
  bool Answer(HelperMessage& message, HelperMessage::Type type, HelperExit& exit);
  // A fresh helper, brought to where the last one died; else how its work ended.
  std::optional<HelperExit> Resume(const HelperExit& first);

  CDecoderHelper m_helper;
  ListedFile m_file;
  bool m_bDecoding = false;
  bool m_bRetried = false;
  // Step answers passed to the scan for this file.
  int64_t m_nSteps = 0;
  CVerdictBuilder m_verdict;
};

TesterFactory IsolatedTesterFactory(std::filesystem::path helper = CurrentExecutable(),
                                    DecoderOptions options = {});
